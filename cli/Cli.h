#pragma once

/// The whole of quillan-cli after setUpProcess(): parses, runs, returns the exit status.
int runCli(int argc, char *argv[]);
