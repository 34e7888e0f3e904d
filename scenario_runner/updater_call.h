// The updater's entry called as the operating system calls a program.
#pragma once
#include <string>
#include <vector>

// Runs UpdaterMain with "fwupdate.exe" as the program name, then the
// arguments, then the null pointer that ends every argv; returns its exit
// code.
int CallUpdater(std::vector<std::string> arguments);
