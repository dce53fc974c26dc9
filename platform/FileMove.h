// Moving a file to a name that must not exist yet.
#pragma once

#include <string>

namespace fk {

// Moves from to to, never replacing an existing file at to (also across file
// systems, where the data is copied and from removed afterwards). Returns 0,
// or the errno value of the failure (EEXIST when to exists).
int MoveFileNoReplace(const std::string& from, const std::string& to);

}  // namespace fk
