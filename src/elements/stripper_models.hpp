// The two built-in stripper-foil models (model number m = 1 or 2): energy
// loss and straggling coefficients, and the distribution of the squared
// scattering angle F (mrad^2) in 17 bins, each bin a truncated exponential.
// Weights and rates depend linearly on the foil-thickness deviation t
// (percent): value = slope * t + value at t = 0.
#pragma once

#include <array>
#include <cstdint>

namespace linac {

inline constexpr int kStripModels = 2;    // models m = 1, 2
inline constexpr int kStripBins = 17;     // bins r = 1..17 of the scattering distribution

// Energy-loss coefficients of one model.
struct StripLossCoef {
  double A1;  // straggling width per unit F, keV/u per mrad^2
  double A2;  // mean loss per unit F, MeV/u per mrad^2
  double A3;  // straggling width per percent of thickness deviation, keV/u
  double A4;  // straggling width at t = 0 and F = 0, keV/u
  double A5;  // mean loss per percent of thickness deviation, MeV/u
};

// One bin of the scattering distribution.
struct StripBin {
  double weight_slope;  // per percent
  double weight0;       // relative weight at t = 0
  double rate_slope;    // 1/mrad^2 per percent
  double rate0;         // exponential rate at t = 0, 1/mrad^2
  double lower;         // lower edge, mrad^2
  double upper;         // upper edge, mrad^2
};

using StripBinTable = std::array<StripBin, kStripBins>;

// The straggling width of a sample is A1 F + A3 t + A4 taken as it stands
// (keV/u with F in mrad^2 and t in percent); the mean-loss terms A2 F + A5 t
// are in MeV/u and are scaled by 1000 to keV/u.
inline constexpr std::array<StripLossCoef, kStripModels> kStripLoss = {{
    {0.0102538, 0.000260444, 0.00942999, 1.76442, 0.00126001},
    {0.0763087, 0.00163303, 0.11969, 17.2565, 0.0333205},
}};

inline constexpr std::array<StripBinTable, kStripModels> kStripBinTables = {{
    {{
        {-0.0038252, 0.552644, -0.137546, 10.9774, 0.0, 0.1},
        {0.000733199, 0.203194, -0.0742536, 8.87402, 0.1, 0.2},
        {0.00149282, 0.137128, -0.0295837, 6.68526, 0.2, 0.4},
        {0.00068222, 0.043901, -0.0182945, 4.68787, 0.4, 0.6},
        {0.00048748, 0.030116, 0.0, 3.08164, 0.6, 1.0},
        {0.00018098, 0.012753, 0.0, 1.9688, 1.0, 1.5},
        {7.318e-05, 0.0057542, 0.0, 1.28317, 1.5, 2.0},
        {6.866e-05, 0.005285, 0.0, 0.836373, 2.0, 3.0},
        {3.276e-05, 0.002445, 0.0, 0.625119, 3.0, 4.0},
        {1.78399e-05, 0.0014344, 0.0, 0.559204, 4.0, 5.0},
        {2.99e-05, 0.0027716, 0.0, 0.298862, 5.0, 10.0},
        {1.448e-05, 0.0013094, 0.0, 0.146806, 10.0, 20.0},
        {3.75999e-06, 0.0006654, 0.0, 0.0740566, 20.0, 40.0},
        {4.05999e-06, 0.0003562, 0.0, 0.0324573, 40.0, 100.0},
        {2.42e-06, 0.0001208, 0.0, 0.0167937, 100.0, 200.0},
        {1.66e-06, 7.68e-05, 0.0, 0.00695411, 200.0, 500.0},
        {0.0, 4.54e-05, 0.0, 0.00152324, 500.0, 3000.0},
    }},
    {{
        {-0.00255984, 0.260376, -0.0493858, 3.44454, 0.0, 0.1},
        {-0.0013165, 0.31693, -0.0413622, 3.34621, 0.1, 0.3},
        {0.00078006, 0.21832, -0.030314, 3.09265, 0.3, 0.6},
        {0.00132434, 0.108913, -0.0205525, 2.68164, 0.6, 1.0},
        {0.00087956, 0.046725, -0.00951883, 2.17599, 1.0, 1.5},
        {0.00038466, 0.0179017, -0.00463671, 1.64801, 1.5, 2.0},
        {0.00026966, 0.0135988, 0.0, 1.13, 2.0, 3.0},
        {8.306e-05, 0.0052688, 0.0, 0.742001, 3.0, 4.0},
        {3.846e-05, 0.0028025, 0.0, 0.560143, 4.0, 5.0},
        {6.73998e-05, 0.0049665, 0.0, 0.307992, 5.0, 10.0},
        {2.742e-05, 0.0021879, 0.0, 0.150977, 10.0, 20.0},
        {1.224e-05, 0.001019, 0.0, 0.063492, 20.0, 40.0},
        {5.86e-06, 0.0005973, 0.0, 0.0301951, 40.0, 100.0},
        {1.33994e-06, 0.0002079, 0.0, 0.0150926, 100.0, 200.0},
        {6e-07, 6.44e-05, 0.0, 0.00990687, 200.0, 300.0},
        {5.8e-07, 5.33e-05, 0.0, 0.00531797, 300.0, 500.0},
        {1.1e-06, 6.77e-05, 0.0, 0.000967163, 500.0, 3000.0},
    }},
}};

// Coefficients and bins of model m (1 or 2; the caller has checked m).
inline const StripLossCoef& strip_loss_coef(std::int32_t m) {
  return kStripLoss[static_cast<std::size_t>(m - 1)];
}
inline const StripBinTable& strip_bin_table(std::int32_t m) {
  return kStripBinTables[static_cast<std::size_t>(m - 1)];
}

// The thickness deviation t of a sample lies in [-2 T100, 2 T100] (T100 the
// half width at half maximum in percent). Largest relative half width T
// (a fraction, T100 = 100 T) of model m for which every bin weight stays
// >= 0 and every rate > 0 over that whole range; a rate that would reach 0
// exactly at the limit makes the limit itself unusable (strict). Returns
// the limit and whether it is inclusive.
struct StripThicknessLimit {
  double T;        // largest allowed relative half width, fraction
  bool inclusive;  // T itself is allowed
};
StripThicknessLimit strip_thickness_limit(std::int32_t m);

}  // namespace linac
