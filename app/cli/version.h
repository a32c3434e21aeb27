#pragma once

// The program's version: the project version, with the git revision when it was built from a
// checkout ("0.1 (git 2ed7e7f1a2b3)").
const char* ProgramVersion();
