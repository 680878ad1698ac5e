// Why a serial device would not open, in words a technician can act on: the cause, and where
// there is one, the cure. And the stable names of USB adapters, which survive replugging.
#pragma once

#include <string>
#include <vector>

// One line: "permission denied (group dialout); to get access: sudo usermod -aG dialout
// $USER, then log in again", "permission denied (owner root, mode 0600); to get access: ask
// the administrator ...", "in use by minicom (PID 1234)", "not a serial device", "no such
// device (present: /dev/ttyS0, /dev/ttyUSB0)". Names from the system are printed clean. The part
// before "; " is the cause alone. Empty when nothing better than the open error itself can be said.
std::string DescribeOpenTrouble(const std::string& device, const std::vector<std::string>& present);
// The cause alone (what fits a status line).
std::string TroubleCause(const std::string& trouble);

// The /dev/serial/by-id name (maker, model, serial number) of a device, or "" when it has none.
std::string StableDeviceName(const std::string& device);
