// Starting the programs the toolbar opens.
#pragma once

#include <windows.h>

// 1 on the NT platform family, else 0; 0 too when the version cannot be
// queried.
int IsNtPlatform();
// Creates the process with the show command and lets go of its handles;
// non-zero when it was created.
int LaunchProcess(const char* programPath, char* commandLine, int showCommand);
// Starts the program directly on the NT family, else through the shell's
// "open"; always 1.
int RunProgram(const char* programPath, char* commandLine, int showCommand);
// The module's directory with its trailing separator, in its short form.
void GetModuleDirectory(HINSTANCE moduleHandle, char* directory, int capacity);
