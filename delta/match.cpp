// Which file of the old tree a new or changed file is patched against. A
// renamed or moved file found as its old self saves more than any engine
// setting, so three rules, in order, each a lookup in an index built once
// (by path, by stem and folder, by sampled content), never a scan of every
// old file for every new one:
//  1. the old file at the same path;
//  2. an old file whose name has the same stem once digits are dropped and
//     runs of ".", "-" and "_" made one ("libfmod.13.dylib", "libfmod-2.1.dylib"
//     -> "libfmod.dylib"), of half to twice the size: the same folder first,
//     then the nearest in size;
//  3. the old file most alike by sampled content: the 64 smallest hashes of
//     all 64-byte windows of each file (a bottom-k sketch, so an insertion
//     moves no sample), at least 1 in 8 of them shared, within a quarter to
//     four times the size, among the old files whose path the new tree no
//     longer has (a file still at its path is its own base). Files under
//     4 KiB are sent whole rather than searched for.
#include "items.h"

#include <algorithm>
#include <unordered_map>

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

bool within(uint64_t a, uint64_t b, uint64_t factor)
{
    return a <= b * factor && b <= a * factor;
}

uint64_t distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

// The file of `bucket` (sorted by size) nearest in size to `size`, within
// `factor` of it, or -1: a binary search and its two neighbours.
long nearest(const std::vector<old_file> &files, const std::vector<size_t> &bucket, uint64_t size, uint64_t factor)
{
    auto at = std::lower_bound(bucket.begin(), bucket.end(), size,
                               [&](size_t i, uint64_t s) { return files[i].size < s; });
    long best = -1;
    for (auto it : {at, at == bucket.begin() ? bucket.end() : at - 1}) {
        if (it == bucket.end())
            continue;
        const old_file &f = files[*it];
        if (within(f.size, size, factor) &&
            (best < 0 || distance(f.size, size) < distance(files[size_t(best)].size, size)))
            best = long(*it);
    }
    return best;
}

}  // namespace

std::vector<uint64_t> sample_bytes(const unsigned char *data, uint64_t size)
{
    return sample(data, size);
}

void build_matcher(matcher &m, const std::vector<old_file> &files, const std::set<std::string> &new_paths)
{
    m.files = &files;
    for (size_t i = 0; i < files.size(); i++) {
        const old_file &f = files[i];
        m.by_path.emplace(f.path, i);
        std::string stem = stem_of(f.path);
        m.by_stem[stem].push_back(i);
        m.by_stem_folder[stem + '\0' + folder_of(f.path)].push_back(i);
        if (f.size >= kMinSampled && !new_paths.count(f.path))
            m.gone.push_back(i);
    }
    auto by_size = [&](size_t a, size_t b) { return files[a].size < files[b].size; };
    for (auto &b : m.by_stem)
        std::sort(b.second.begin(), b.second.end(), by_size);
    for (auto &b : m.by_stem_folder)
        std::sort(b.second.begin(), b.second.end(), by_size);
}

long choose_base(matcher &m, const std::string &path, uint64_t size, const sampler &sample_new,
                 const old_sampler &sample_old)
{
    const std::vector<old_file> &files = *m.files;
    auto same = m.by_path.find(path);
    if (same != m.by_path.end())
        return long(same->second);

    std::string stem = stem_of(path);
    auto here = m.by_stem_folder.find(stem + '\0' + folder_of(path));
    long best = here == m.by_stem_folder.end() ? -1 : nearest(files, here->second, size, 2);
    if (best < 0) {
        auto anywhere = m.by_stem.find(stem);
        best = anywhere == m.by_stem.end() ? -1 : nearest(files, anywhere->second, size, 2);
    }
    if (best >= 0 || size < kMinSampled || m.gone.empty())
        return best;

    // By content, among the old files whose path is gone: each is sampled
    // once, and each sample points at the files holding it.
    if (!m.sketched) {
        m.sketched = true;
        for (size_t i : m.gone) {
            std::vector<uint64_t> samples;
            if (sample_old(i, samples))
                for (uint64_t v : samples)
                    m.postings[v].push_back(i);
        }
    }
    std::vector<uint64_t> mine;
    if (!sample_new(mine))
        return -1;
    std::unordered_map<size_t, size_t> counts;
    for (uint64_t v : mine) {
        auto p = m.postings.find(v);
        if (p != m.postings.end())
            for (size_t i : p->second)
                counts[i]++;
    }
    size_t best_shared = kSamples / 8;
    for (const auto &c : counts) {
        const old_file &f = files[c.first];
        if (!within(f.size, size, 4) || c.second < best_shared)
            continue;
        if (best < 0 || c.second > best_shared ||
            distance(f.size, size) < distance(files[size_t(best)].size, size) ||
            (distance(f.size, size) == distance(files[size_t(best)].size, size) && c.first < size_t(best))) {
            best = long(c.first);
            best_shared = c.second;
        }
    }
    return best;
}

}  // namespace delta
