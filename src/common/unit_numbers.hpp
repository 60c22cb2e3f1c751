// Standing unit numbers of the run: the files every pass writes, opened once
// by the run sequence and written by the beam, transport and control code.
#pragma once

namespace linac {

inline constexpr int kUnitCoord = 15;  // coord.dat
inline constexpr int kUnitLost = 16;   // lost.dat
inline constexpr int kUnitOut = 19;    // out.dat
inline constexpr int kUnitLog = 30;    // log.dat
inline constexpr int kUnitWtmp = 31;   // wtmp.dat
inline constexpr int kUnitScWarning = 34;  // sc_warning.dat, opened when the beam carries space charge

// Output units of the error study.
inline constexpr int kUnitPhMonitor = 91;  // ph_monitor.dat
inline constexpr int kUnitBpMonitor = 92;  // bp_monitor.dat
inline constexpr int kUnitCoMonitor = 93;  // co_monitor.dat
inline constexpr int kUnitOutWq = 32;      // out_wq.dat
inline constexpr int kUnitOutPhq = 33;     // out_phq.dat

}  // namespace linac
