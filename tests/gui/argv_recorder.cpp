// Stands in for the text editor in tests: writes the arguments it was started
// with, NUL-separated (argv[0] first), to a new file in the directory named by
// ARGV_RECORDER_DIR, then exits. One file per run lets a test count the runs.
// With ARGV_RECORDER_HOLD set it then stays until that file exists (giving up
// after a while) and leaves "<pid>.done", so a test can tell whether its
// starter waited for it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

int main(int argc, char *argv[])
{
    const char *dir = std::getenv("ARGV_RECORDER_DIR");
    if (!dir || !*dir)
        return 2;
    const std::string base = std::string(dir) + "/" + std::to_string(static_cast<long>(getpid()));
    const std::string part = base + ".part";
    std::FILE *f = std::fopen(part.c_str(), "wb");
    if (!f)
        return 3;
    for (int i = 0; i < argc; ++i)
        std::fwrite(argv[i], 1, std::char_traits<char>::length(argv[i]) + 1, f);
    if (std::fclose(f) != 0)
        return 4;
    // The test waits for the final name, so it never reads a half-written file.
    if (std::rename(part.c_str(), (base + ".argv").c_str()) != 0)
        return 5;

    const char *hold = std::getenv("ARGV_RECORDER_HOLD");
    if (hold && *hold) {
        // Bounded so a starter that wrongly waits is not stuck for good.
        for (int i = 0; i < 3000 && !std::filesystem::exists(hold); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (std::FILE *done = std::fopen((base + ".done").c_str(), "wb"))
            std::fclose(done);
    }
    return 0;
}
