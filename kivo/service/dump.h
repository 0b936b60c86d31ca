#pragma once

// Text reports of the service runtime for a debugging console. Each returns
// one string; nothing is printed. Patterns use '*' and '?'. Every report
// copies what it needs under the owning lock and writes the text afterwards,
// so no lock is held while formatting or waiting for a service. The thread
// report is kivo::Service::Dump (service.h).

#include <stdint.h>

#include <string>

namespace kivo {

// The stored path values: "%03d. <path>: data=<text>\n", or
// "%03d. <path>: null\n" for a path without value.
std::string DumpPaths(const std::string& pattern);

// The elements of the routers whose name matches module_pattern, read in
// each router's service: "%03d. <router>.<element>=<text>\n", or one
// "%03d. read elem fail, module:<router> is busy!\n" when the router's
// service does not answer within 1000 ms. Routers destroyed meanwhile are
// left out.
std::string DumpElems(const std::string& module_pattern, const std::string& elem_pattern);

// The routers whose name matches: "%03d. <router>, version:<v>, busy:<0|1>\n",
// numbered by position among all routers; busy when the service does not
// answer within 1000 ms, and then the version is left empty (it is read only
// inside the router's service). Routers destroyed meanwhile are left out.
std::string DumpModules(const std::string& module_pattern);

// "<name>[<index>]".
std::string IndexedName(const std::string& name, int32_t index);

}  // namespace kivo
