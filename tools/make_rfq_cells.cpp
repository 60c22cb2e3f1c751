// Writes an RFQ cell file rfq.#NN from a design (see rfq_cell_design.hpp).
//
//   make_rfq_cells FILE name=value ...
//
// W=keV/u at the first cell, dW=keV/u gained per regular cell, freq=Hz,
// harm=harmonic, V=kV, R=cm, r0=cm, m=modulation (or m1,m2,.. per regular
// cell), nreg=regular cells (default 1), types=comma list of the chain (0 =
// the next regular cell; default -1,-2,0..0,2,1,3,7), a10=factor on A10,
// a01=factor on A01, gain=cos of the phase from the crest and qa=Q/A (the
// energy gain of each regular cell, (pi/4) A10 V qa gain, sets the next
// cell's length in place of dW).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "rfq_cell_design.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_rfq_cells FILE W= dW= freq= harm= V= R= r0= m= nreg= [types=] [a10=] [a01=]\n");
    return 2;
  }
  std::map<std::string, std::string> o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const auto eq = a.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "make_rfq_cells: '%s' is not name=value\n", a.c_str());
      return 2;
    }
    o[a.substr(0, eq)] = a.substr(eq + 1);
  }
  auto num = [&](const char* k, double dflt) {
    const auto it = o.find(k);
    if (it == o.end()) return dflt;
    char* end = nullptr;
    const double v = std::strtod(it->second.c_str(), &end);
    if (end == it->second.c_str() || *end != '\0') {
      std::fprintf(stderr, "make_rfq_cells: %s=%s is not a number\n", k, it->second.c_str());
      std::exit(2);
    }
    return v;
  };
  rfq_design::Design d;
  d.W_in = num("W", 0.0);
  d.dW = num("dW", 0.0);
  d.freq = num("freq", 0.0);
  d.harm = num("harm", 1.0);
  d.V_kv = num("V", 0.0);
  d.R = num("R", 0.0);
  d.r0 = num("r0", 0.0);
  d.A10_scale = num("a10", 1.0);
  d.A01_scale = num("a01", 1.0);
  d.gain = num("gain", 0.0);
  d.qa = num("qa", 1.0);
  const int nreg = static_cast<int>(num("nreg", 1.0));
  for (int i = 1; i <= nreg; ++i) {
    char key_text[16];
    std::snprintf(key_text, sizeof key_text, "m%d", i);
    const std::string key(key_text);
    d.m.push_back(o.count(key) ? num(key.c_str(), 1.0) : num("m", 1.0));
  }
  if (o.count("types")) {
    std::stringstream ss(o["types"]);
    std::string t;
    while (std::getline(ss, t, ',')) d.types.push_back(std::atoi(t.c_str()));
  }
  if (!(d.W_in > 0.0) || !(d.freq > 0.0) || !(d.r0 > 0.0) || !(d.R > 0.0) || nreg < 1) {
    std::fprintf(stderr, "make_rfq_cells: W, freq, r0, R must be above 0 and nreg at least 1\n");
    return 2;
  }
  std::ofstream out(argv[1]);
  out << rfq_design::cell_file_text(rfq_design::design(d));
  if (!out) {
    std::fprintf(stderr, "make_rfq_cells: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
