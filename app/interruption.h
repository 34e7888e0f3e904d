// What the updater does when the console asks it to stop.
#pragma once

// Installs the console control handler for the rest of the process.
void InstallInterruptionHandling();
