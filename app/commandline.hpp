// --help and --version, the only arguments the programs share. The version is
// the project's version from the build.
#pragma once

#include <string_view>

// "1.2": the project version the build was made from.
std::string_view programVersion();

// When one of the arguments after the program name is "--version", prints
// "NAME VERSION" on standard output and returns true (the caller then exits
// with 0); otherwise prints nothing and returns false.
bool printVersionIfAsked(int argc, char* const* argv, std::string_view name);

// The reporter's command line: "--help" prints what the program does and where
// it reads its settings, "--version" its version; true when either was printed.
// Every other argument is ignored, so the program runs as without them.
bool answerReporterCommandLine(int argc, char* const* argv);
