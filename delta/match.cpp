// Which file of the old tree a new or changed file is patched against. A
// renamed or moved file found as its old self saves more than any engine
// setting, so three rules, in order:
//  1. the old file at the same path;
//  2. an old file whose name has the same stem once digits are dropped and
//     runs of ".", "-" and "_" made one ("libfmod.13.dylib", "libfmod-2.1.dylib"
//     -> "libfmod.dylib"), of half to twice the size: the same folder first,
//     then the nearest in size;
//  3. the old file most alike by sampled content: the 64 smallest hashes of
//     all 64-byte windows of each file (a bottom-k sketch, so an insertion
//     moves no sample), at least 1 in 8 of them shared, within a quarter to
//     four times the size. Files under 4 KiB are sent whole rather than
//     searched for.
#include "items.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fsutil.h"

namespace delta {

namespace {

const size_t kSamples = 64;
const uint64_t kMinSampled = 4096;

std::string name_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string stem_of(const std::string &path)
{
    std::string out;
    for (char c : name_of(path)) {
        if (c >= '0' && c <= '9')
            continue;
        bool separator = c == '.' || c == '-' || c == '_';
        if (separator && !out.empty() && out.back() == '.')
            continue;
        out += separator ? '.' : c;
    }
    return out;
}

// A gear hash: each step shifts one byte's random word in, so the top bits
// depend on the last 64 bytes; the multiply spreads them before comparing.
const uint64_t *gear()
{
    static uint64_t table[256];
    static bool made = [] {
        uint64_t x = 0x5eed;
        for (uint64_t &v : table) {  // splitmix64
            uint64_t z = (x += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = z ^ (z >> 31);
        }
        return true;
    }();
    (void)made;
    return table;
}

std::vector<uint64_t> sample(const unsigned char *data, uint64_t size)
{
    const uint64_t *g = gear();
    std::vector<uint64_t> heap;  // a max-heap of the smallest values seen
    uint64_t h = 0;
    for (uint64_t i = 0; i < size; i++) {
        h = (h << 1) + g[data[i]];
        if (i < 63)
            continue;
        uint64_t v = h * 0x9E3779B97F4A7C15ull;
        if (heap.size() == kSamples && v >= heap.front())
            continue;
        if (std::find(heap.begin(), heap.end(), v) != heap.end())
            continue;
        heap.push_back(v);
        std::push_heap(heap.begin(), heap.end());
        if (heap.size() > kSamples) {
            std::pop_heap(heap.begin(), heap.end());
            heap.pop_back();
        }
    }
    std::sort(heap.begin(), heap.end());
    return heap;
}

bool sample_old(old_file &f, const std::string &old_root)
{
    if (f.sampled)
        return !f.samples.empty();
    f.sampled = true;
    struct stat st;
    Fd fd(open_for_reading(old_root + "/" + f.path, st));
    mapped m;
    if (fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != f.size || !map_read(fd.fd, 0, size_t(f.size), m))
        return false;
    f.samples = sample(m.data, m.size);
    return !f.samples.empty();
}

size_t shared(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b)
{
    size_t n = 0;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();)
        a[i] < b[j] ? i++ : a[i] > b[j] ? j++ : (n++, i++, j++);
    return n;
}

bool within(uint64_t a, uint64_t b, uint64_t factor)
{
    return a <= b * factor && b <= a * factor;
}

}  // namespace

long choose_base(std::vector<old_file> &old_files, const std::string &old_root, const std::string &path,
                 const unsigned char *data, uint64_t size)
{
    for (size_t i = 0; i < old_files.size(); i++)
        if (old_files[i].path == path)
            return long(i);

    std::string stem = stem_of(path), folder = folder_of(path);
    long best = -1;
    auto distance = [&](const old_file &f) { return f.size > size ? f.size - size : size - f.size; };
    for (size_t i = 0; i < old_files.size(); i++) {
        const old_file &f = old_files[i];
        if (stem_of(f.path) != stem || !within(f.size, size, 2))
            continue;
        if (best < 0) {
            best = long(i);
            continue;
        }
        const old_file &b = old_files[size_t(best)];
        bool here = folder_of(f.path) == folder, best_here = folder_of(b.path) == folder;
        if (here != best_here ? here : distance(f) < distance(b))
            best = long(i);
    }
    if (best >= 0 || size < kMinSampled)
        return best;

    std::vector<uint64_t> mine = sample(data, size);
    size_t best_shared = kSamples / 8;
    for (size_t i = 0; i < old_files.size(); i++) {
        old_file &f = old_files[i];
        if (f.size < kMinSampled || !within(f.size, size, 4) || !sample_old(f, old_root))
            continue;
        size_t n = shared(mine, f.samples);
        if (n >= best_shared && (best < 0 || n > best_shared || distance(f) < distance(old_files[size_t(best)]))) {
            best = long(i);
            best_shared = n;
        }
    }
    return best;
}

}  // namespace delta
