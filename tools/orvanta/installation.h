// Where orvanta finds the programs and files it works with. In a build folder OrvantaUpdate lies
// beside orvanta and the development keys are the source tree's; in an installed tree (a
// package unpacked anywhere, or `cmake --install` to any prefix) both lie at fixed places
// relative to the directory orvanta runs from, so a relocated tree works as well.
#pragma once

#include <filesystem>
#include <string>

namespace orvanta {

// The updater to run: OrvantaUpdate beside this executable when it is there, else the installed
// tree's. Empty, with a one-line reason, when neither exists or orvanta cannot tell where it is
// installed (ExecutableDirectory): it never runs an updater from the current directory.
std::filesystem::path UpdaterPath(std::string* error);

// The launcher of the Windows updater under Wine: scripts/windows-updater of the source tree
// this orvanta was built from (it runs that tree's windows build). Empty, with a one-line reason,
// when it is not there.
std::filesystem::path WindowsUpdaterPath(std::string* error);

// The key pairs the updater was built with, for signing demo packages: the installed tree's
// development keys when they are there, else the key directory of the build.
std::filesystem::path DevelopmentKeyDirectory();

}  // namespace orvanta
