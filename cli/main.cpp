// quillan-cli: the transfers from a command line, without windows.
#include "cli/Cli.h"
#include "platform/ProcessSetup.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char *argv[])
{
    setUpProcess();
    const int status = runCli(argc, argv);
#ifdef _WIN32
    // Everything is written and closed by now. After a database connection
    // in a worker thread, unloading libstdc++ at exit can wait for ever on a
    // lock of winpthread's (seen under Wine): end without the unloading.
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), UINT(status));
#endif
    return status;
}
