// Rips image files through the POSIX platform and compares the rate with dd (bs=256K, large
// reads as the copy makes them) and cp of the same file, all from the page cache; prints MB/s and
// each run's peak resident set size.
//
//   rip_benchmark [work-directory]     (default: the current directory)
//
// Every run happens in a child process, so that its peak RSS is its own.

#include "DiscEngine.h"
#include "PosixDiscPlatform.h"

#include "NativePath.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr int kRepetitions = 5;

struct RunResult {
    double seconds = 0;
    long peakRssKiB = 0;
    bool ok = false;
};

bool MakeSourceImage(const std::string& path, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<uint64_t> chunk(kMiB / sizeof(uint64_t));
    uint64_t state = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (size_t done = 0; done < size && ok; done += kMiB) {
        for (uint64_t& word : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        ok = write(fd, chunk.data(), kMiB) == static_cast<ssize_t>(kMiB);
    }
    return close(fd) == 0 && ok;
}

bool SameContents(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> bufferA(kMiB), bufferB(kMiB);
    while (same) {
        size_t na = std::fread(bufferA.data(), 1, kMiB, fa);
        size_t nb = std::fread(bufferB.data(), 1, kMiB, fb);
        same = na == nb && std::memcmp(bufferA.data(), bufferB.data(), na) == 0;
        if (na == 0)
            break;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return same;
}

// Runs `body` in a child process; its exit status 0 means success.
template <typename Body> RunResult RunChild(Body body) {
    RunResult result;
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return result;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakRssKiB = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

RunResult RunRip(const std::string& dir, const std::string& source) {
    return RunChild([&] {
        BindDriveDevice('R', source);
        BindDriveRoot('C', dir);
        return RipDisc('R', "C:\\out\\ripped.iso", nullptr, nullptr) == 0 ? 0 : 1;
    });
}

RunResult RunDd(const std::string& source, const std::string& target) {
    std::string in = "if=" + source, out = "of=" + target;
    return RunChild([&] {
        execlp("dd", "dd", in.c_str(), out.c_str(), "bs=256K", "status=none",
               static_cast<char*>(nullptr));
        return 127;
    });
}

RunResult RunCp(const std::string& source, const std::string& target) {
    return RunChild([&] {
        execlp("cp", "cp", source.c_str(), target.c_str(), static_cast<char*>(nullptr));
        return 127;
    });
}

// The best of a few runs, each writing a fresh file. The machine is shared, so the fastest run
// is the one least disturbed by others; the runs of the three copiers alternate for the same
// reason.
struct Contest {
    RunResult rip, dd, cp;
};

// Keeps the faster run; a failed run spoils the result for good.
void KeepFaster(RunResult& best, const RunResult& run, int repetition) {
    if (repetition == 0 || !run.ok || (best.ok && run.seconds < best.seconds))
        best = run;
}

Contest Measure(const std::string& dir, const std::string& source, const std::string& ripped,
                const std::string& copied) {
    Contest best;
    for (int i = 0; i < kRepetitions; ++i) {
        unlink(ripped.c_str());
        KeepFaster(best.rip, RunRip(dir, source), i);
        unlink(copied.c_str());
        KeepFaster(best.dd, RunDd(source, copied), i);
        unlink(copied.c_str());
        KeepFaster(best.cp, RunCp(source, copied), i);
    }
    return best;
}

void Print(const char* what, size_t size, const RunResult& result) {
    std::printf("  %-16s %8.1f MB/s   peak RSS %7.1f MiB\n", what,
                static_cast<double>(size) / 1e6 / result.seconds, result.peakRssKiB / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : ".";
    std::string pattern = base + "/rip-benchmark-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = name.data();
    std::string source = dir + "/disc.img";
    std::string ripped = dir + "/out/ripped.iso";
    std::string copied = dir + "/copied.img";

    int exitCode = 0;
    for (size_t mib : {size_t{64}, size_t{256}}) {
        size_t size = mib * kMiB;
        if (!MakeSourceImage(source, size)) {
            std::fprintf(stderr, "cannot write %s\n", source.c_str());
            exitCode = 1;
            break;
        }
        SameContents(source, source); // brings the image into the page cache

        std::printf("%zu MiB image, best of %d runs each:\n", mib, kRepetitions);
        Contest contest = Measure(dir, source, ripped, copied);
        const RunResult& rip = contest.rip;
        const RunResult& dd = contest.dd;
        const RunResult& cp = contest.cp;
        if (!rip.ok || !SameContents(source, ripped) || !dd.ok || !cp.ok) {
            std::fprintf(stderr, "a copy failed, or the rip differs from the image\n");
            exitCode = 1;
            break;
        }
        Print("RipDisc", size, rip);
        Print("dd bs=256K", size, dd);
        Print("cp", size, cp);
        std::printf("  RipDisc / dd = %.2f\n", dd.seconds / rip.seconds);
    }

    unlink(source.c_str());
    unlink(ripped.c_str());
    unlink(copied.c_str());
    rmdir((dir + "/out").c_str());
    rmdir(dir.c_str());
    return exitCode;
}
