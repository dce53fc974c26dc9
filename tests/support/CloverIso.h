// A Clover release archive ("Clover-N-X64.iso.7z") made by the test: an ISO
// image holding the tree the unpacking script takes the data set from,
// compressed with 7-Zip.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fk::test {

// Whether xorriso and 7zz are there to build one.
bool CanMakeCloverIso7z();

// Writes dir/Clover-<rev>-X64.iso.7z whose data set has boot (as "boot" and
// "boot6") and the given further files; returns its path, "" on failure
// (the tools' output in *error).
std::string MakeCloverIso7z(const std::string& dir, const std::string& rev, const std::string& boot,
                            const std::vector<std::pair<std::string, std::string>>& files, std::string* error);

}  // namespace fk::test
