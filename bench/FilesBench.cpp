// Whole-file reading (16 MB), a "*.xml" search of a folder of 2,000 names, and the atomic
// save of a 64 KB document (write, flush to disk, rename), ours against std::ifstream,
// std::filesystem with fnmatch, and the same POSIX steps written by hand.

#include "bench/BenchMain.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFileFind.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// One scratch folder for the whole run, removed at exit.
class Scratch {
public:
    Scratch()
    {
        char pattern[] = "/tmp/velmo-bench-files-XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        m_dir = pattern;
        fs::create_directory(m_dir + "/many");
        for (int i = 0; i < 2000; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "/many/%08d.%s", i, i % 4 == 0 ? "XML" : i % 2 ? "xml" : "msg");
            std::ofstream(m_dir + name) << "x";
        }
        std::ofstream big(m_dir + "/big.bin", std::ios::binary);
        const std::string block(1 << 20, 'b');
        for (int i = 0; i < 16; ++i)
            big << block;
    }
    ~Scratch() { fs::remove_all(m_dir); }
    std::string Path(const char* name) const { return m_dir + name; }

private:
    std::string m_dir;
};

const Scratch& Files()
{
    static Scratch scratch;
    return scratch;
}

void ReadAllOurs(benchmark::State& state)
{
    const CZelString name(Files().Path("/big.bin"));
    for (auto _ : state) {
        CZelFile file(name, "R|Sr");
        CZelString bytes = file.ReadAll(-1);
        benchmark::DoNotOptimize(bytes.Ptr());
    }
    state.SetBytesProcessed(state.iterations() * (16 << 20));
}

void ReadAllTheirs(benchmark::State& state)
{
    const std::string name = Files().Path("/big.bin");
    for (auto _ : state) {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        std::string bytes = out.str();
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(state.iterations() * (16 << 20));
}

void FindOurs(benchmark::State& state)
{
    const CZelString pattern(Files().Path("/many/*.xml"));
    for (auto _ : state) {
        int found = 0;
        CZelFileFind find(pattern, 1, CZelFileFind::kFilesOnly);
        while (find.Next())
            ++found;
        if (found != 1500)
            state.SkipWithError("wrong count");
    }
}

void FindTheirs(benchmark::State& state)
{
    const std::string folder = Files().Path("/many");
    for (auto _ : state) {
        int found = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!entry.is_regular_file())
                continue;
            const std::string name = entry.path().filename().string();
            if (fnmatch("*.xml", name.c_str(), FNM_CASEFOLD) == 0) {
                benchmark::DoNotOptimize(entry.file_size());
                ++found;
            }
        }
        if (found != 1500)
            state.SkipWithError("wrong count");
    }
}

const std::string kDocument(64 * 1024, 'd');

void SaveOurs(benchmark::State& state)
{
    const CZelString name(Files().Path("/saved-ours.xml"));
    const CZelString bytes(kDocument);
    for (auto _ : state)
        if (!CZelFile::SaveWholeFile(name, bytes))
            state.SkipWithError("save failed");
}

void SaveTheirs(benchmark::State& state)
{
    const std::string name = Files().Path("/saved-theirs.xml");
    const std::string temporary = name + ".tmp";
    for (auto _ : state) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && ::write(fd, kDocument.data(), kDocument.size()) == static_cast<ssize_t>(kDocument.size());
        ok = ok && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        ok = ok && ::rename(temporary.c_str(), name.c_str()) == 0;
        const int folder = ::open(Files().Path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        if (!ok)
            state.SkipWithError("save failed");
    }
}

} // namespace

BENCHMARK(ReadAllOurs)->Name("read_all/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadAllTheirs)->Name("read_all/theirs")->Unit(benchmark::kMillisecond);
BENCHMARK(FindOurs)->Name("find_xml/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(FindTheirs)->Name("find_xml/theirs")->Unit(benchmark::kMicrosecond);
BENCHMARK(SaveOurs)->Name("save_whole/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(SaveTheirs)->Name("save_whole/theirs")->Unit(benchmark::kMicrosecond);
