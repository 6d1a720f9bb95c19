// The window program's start: display check, a safe environment, Qt and the
// application object, then the message loop.
#pragma once

// The exit status of the program.
int RunOmbrel(int argc, char** argv);
