// quillan-cli: the transfers from a command line, without windows.
#include "cli/Cli.h"
#include "platform/ProcessSetup.h"

int main(int argc, char *argv[])
{
    setUpProcess();
    return runCli(argc, argv);
}
