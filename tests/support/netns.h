// A private network namespace for the calling process: only its loopback
// interface, brought up, so tests can bind fixed ports and abstract Unix
// names without meeting parallel tests or the host. Call it before any
// thread starts: threads made earlier stay in the old namespace.
#pragma once

#include <string>

namespace netns {

// 0 or -errno; *error names the step that failed.
int enterPrivateNetwork(std::string *error);

} // namespace netns
