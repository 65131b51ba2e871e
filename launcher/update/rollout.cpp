// The channel file, the install id, and the buckets of a staged rollout.
#include "rollout.h"

#include "fsutil.h"
#include "replace.h"
#include "server_layout.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

const char *const kChannelFile = "channel.txt";
const char *const kInstallIdFile = "install-id.txt";

namespace {

const size_t kIdDigits = 32;

bool isChannelName(const std::string &name)
{
    if (name.empty() || name.size() > 32 || name[0] == '-' || name[0] == '_')
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

bool isInstallId(const std::string &id)
{
    return id.size() == kIdDigits && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string readChannel(const char *path)
{
    std::string text;
    if (!read_small_file(path, 256, text))
        return kDefaultChannel;
    std::string name = text.substr(0, text.find_first_of("\r\n"));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    return isChannelName(name) ? name : kDefaultChannel;
}

std::string installId(const char *path)
{
    std::string text;
    if (read_small_file(path, 256, text)) {
        std::string id = text.substr(0, text.find_first_of("\r\n"));
        if (isInstallId(id))
            return id;
    }
    if (sodium_init() < 0)
        return "";
    unsigned char bytes[kIdDigits / 2];
    randombytes_buf(bytes, sizeof bytes);
    char hex[kIdDigits + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    // A kill leaves no id or the whole one, never half of one.
    const std::string line = std::string(hex) + "\n";
    return replace_file(path, line.data(), line.size(), 0644, DURABLE_FILE) ? std::string(hex) : std::string();
}

int rolloutBucket(const std::string &id, int version)
{
    if (sodium_init() < 0)
        return 99;
    const std::string text = id + "/" + std::to_string(version);
    unsigned char hash[16];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char *>(text.data()), text.size(), nullptr, 0);
    uint64_t value = 0;
    for (int i = 0; i < 8; i++)
        value |= uint64_t(hash[i]) << (8 * i);
    return int(value % 100);
}

bool offeredInRollout(const std::string &id, int version, int rollout)
{
    if (rollout >= 100)
        return true;
    return !id.empty() && rolloutBucket(id, version) < rollout;
}
