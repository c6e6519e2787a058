// Installing and removing the simulated device's driver: three
// root-enumerated devices of the System class (the fax channel, the EWS
// channel and the service's control interface), each bound to
// tessaline_sim.sys by tessaline_sim.inf.
#ifndef TESSALINE_SIM_DRIVER_INSTALL_WIN32_H
#define TESSALINE_SIM_DRIVER_INSTALL_WIN32_H

#include <string>

namespace sim {

// Whether all three devices are installed.
bool DriverDevicesInstalled();

// Installs whichever of the three devices is missing from the .inf at
// `inf_path` (the .sys beside it). `installed` says whether anything was
// installed. False, with the reason in `error`, when a step fails.
bool InstallDriverDevices(const std::string& inf_path, bool& installed, std::string& error);

// Removes every device of the simulated device's hardware identities.
// `removed` receives how many. False, with the reason, when a removal fails.
bool RemoveDriverDevices(int& removed, std::string& error);

// The .inf beside the running program.
std::string InfBesideProgram();

}  // namespace sim

#endif
