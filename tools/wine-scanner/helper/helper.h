// The helper program that the Wine harness runs inside the prefix: it plays
// the other applications on the PC (the imaging service's previous user,
// the maker's applications holding their mutexes) and reads back what the
// harness cannot see from Linux (the service manager, the scanner driver).
#pragma once

// Device calls as the updater makes them, one step per argument group.
int RunDeviceSteps(int argc, char** argv);

// Puts the imaging service into a state: "installed"|"absent", then the
// state and start type names. Prints what the service manager then reports.
int RunServiceSetup(int argc, char** argv);

// Holds and watches named mutexes until standard input ends; lets go of a
// held one when the scanner's time reaches the given milliseconds.
int RunOtherApplications(int argc, char** argv);

// Prints the facts after a run as JSON: the service and the scanner.
int RunReport(int argc, char** argv);

// Writes the driver's wire trace to the file named.
int RunTrace(int argc, char** argv);

// The service's facts as one JSON object: installed, state, start_type.
void PrintServiceFacts(const char* serviceName);
