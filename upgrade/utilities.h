#pragma once

#include <string>

// Splits a full file path at its last "/" into the folder (ending in "/") and the file name.
// A path without any "/" gives the folder "/" and the whole path as the name.
void SplitPath(const std::string& path, std::string& folder, std::string& name);

// The real path of the running program file (from /proc/self/exe); the package folder is
// the folder that holds it. Throws std::runtime_error when the system does not tell.
std::string ProgramFilePath();

// The release folder, ending in "/": `packageDir` when given, else the folder of the running
// program file (a technician runs the program from the release folder).
std::string ReleaseFolder(const std::string& packageDir);
