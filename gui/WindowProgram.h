#pragma once

// What tells the two window programs apart.
struct WindowProgram
{
    const char *name;       // the executable's name, which untitled boxes show
    const char *caption;    // the main window's caption
    const char *version;
    const char *desktopId;  // matches the installed desktop entry
};

/// Runs a window program to its end; returns its exit status.
int runWindowProgram(int argc, char *argv[], const WindowProgram &program);
