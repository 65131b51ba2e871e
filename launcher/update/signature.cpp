// The publisher check of a package or of the manifest: a minisign signature
// made with the key the launcher was built with.
//
// Formats (base64 lines):
//   public key  "Ed" | key id (8) | Ed25519 key (32)
//   .minisig    "untrusted comment: ..."
//               "Ed" or "ED" | key id (8) | signature (64)
//               "trusted comment: TEXT"
//               global signature (64) over signature | TEXT
// "ED" signs the BLAKE2b-512 hash of the file (minisign's default), hashed
// here while reading; legacy "Ed" signs the file itself, which is verified
// from a read-only mapping, so neither kind holds the package in memory.
#include "signature.h"

#include "fsutil.h"
#include "mapped.h"
#include "server_layout.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <vector>

namespace {

const size_t kMaxSignatureText = 8192;  // a real one is about 300 bytes
const size_t kKeyIdSize = 8;

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string trimmed(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    return start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

bool decodeBase64(const std::string &text, std::vector<unsigned char> &out, size_t size)
{
    out.assign(size, 0);
    size_t length = 0;
    return sodium_base642bin(out.data(), size, text.data(), text.size(), nullptr, &length, nullptr,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           length == size;
}

// BLAKE2b-512 of the file, read in blocks.
bool hashFile(int fd, unsigned char hash[crypto_generichash_BYTES_MAX])
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::unique_ptr<unsigned char[]> block(new unsigned char[1 << 16]);
    for (;;) {
        ssize_t n = read(fd, block.get(), 1 << 16);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        crypto_generichash_update(&state, block.get(), size_t(n));
    }
    return crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX) == 0;
}

// Legacy signatures cover the whole file: verified from a mapping, so the
// kernel pages it in and out instead of the launcher holding it.
bool verifyWholeFile(int fd, const unsigned char *signature, const unsigned char *key)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (st.st_size == 0)
        return crypto_sign_verify_detached(signature, nullptr, 0, key) == 0;
    mapped data;
    if (!map_read(fd, 0, size_t(st.st_size), data))
        return false;
    return crypto_sign_verify_detached(signature, data.data, (unsigned long long)data.size, key) == 0;
}

// The key and the signature's lines, read and matched by key id.
struct SignatureParts {
    std::vector<unsigned char> key, sig, global;
    std::string comment;
    bool prehashed = false;
    const unsigned char *publicKeyBytes() const { return key.data() + 2 + kKeyIdSize; }
    const unsigned char *contentSignature() const { return sig.data() + 2 + kKeyIdSize; }
};

const char *parseSignature(const std::string &signature, SignatureParts &parts)
{
    if (sodium_init() < 0)
        return "the crypto library did not start";
    std::vector<std::string> keyLines = splitLines(trimmed(publicKey));
    if (keyLines.empty() ||
        !decodeBase64(trimmed(keyLines.back()), parts.key, 2 + kKeyIdSize + crypto_sign_PUBLICKEYBYTES) ||
        parts.key[0] != 'E' || parts.key[1] != 'd')
        return "the launcher's public key is malformed";

    if (signature.empty())
        return "there is no signature";
    if (signature.size() > kMaxSignatureText)
        return "the signature is too long";
    std::vector<std::string> lines = splitLines(signature);
    const std::string trustedPrefix = "trusted comment: ";
    if (lines.size() < 4 || lines[0].compare(0, 19, "untrusted comment: ") != 0 ||
        lines[2].compare(0, trustedPrefix.size(), trustedPrefix) != 0 ||
        !decodeBase64(trimmed(lines[1]), parts.sig, 2 + kKeyIdSize + crypto_sign_BYTES) ||
        !decodeBase64(trimmed(lines[3]), parts.global, crypto_sign_BYTES))
        return "the signature is malformed";
    parts.prehashed = parts.sig[0] == 'E' && parts.sig[1] == 'D';
    if (!parts.prehashed && !(parts.sig[0] == 'E' && parts.sig[1] == 'd'))
        return "the signature is of an unknown kind";
    if (sodium_memcmp(parts.sig.data() + 2, parts.key.data() + 2, kKeyIdSize) != 0)
        return "it was made with another key";
    parts.comment = lines[2].substr(trustedPrefix.size());
    return nullptr;
}

// The global signature binds the trusted comment to the content's signature.
bool commentHolds(const SignatureParts &parts)
{
    std::vector<unsigned char> signedComment(parts.contentSignature(), parts.contentSignature() + crypto_sign_BYTES);
    signedComment.insert(signedComment.end(), parts.comment.begin(), parts.comment.end());
    return crypto_sign_verify_detached(parts.global.data(), signedComment.data(), signedComment.size(),
                                       parts.publicKeyBytes()) == 0;
}

// The digits of a "version:" or "from:" token, naming `expected`.
bool namesNumber(const std::string &digits, int expected)
{
    return !digits.empty() && digits.size() <= 10 && digits.find_first_not_of("0123456789") == std::string::npos &&
           std::stoll(digits) == expected;
}

// Why the file (the package, or with `fromVersion` a delta) fails the
// check, or null when it passes.
const char *signatureFault(const char *path, const char *fileName, const std::string &signature, int announcedVersion,
                           int fromVersion)
{
    std::string comment;
    if (const char *fault = fileSignatureFault(path, signature, comment, fromVersion != 0))
        return fault;
    return commentFault(comment, fileName, announcedVersion, fromVersion);
}

bool verifyFile(const char *path, const char *fileName, const std::string &signature, int announcedVersion,
                int fromVersion, std::string &reason)
{
    if (publicKey.empty())
        return true;
    if (const char *fault = signatureFault(path, fileName, signature, announcedVersion, fromVersion)) {
        printf("Signature check failed: %s\n", fault);
        reason = fault;
        return false;
    }
    if (fromVersion)
        printf("Signature verified: %s (version %d from %d)\n", fileName, announcedVersion, fromVersion);
    else
        printf("Signature verified: %s (version %d)\n", fileName, announcedVersion);
    return true;
}

}  // namespace

// Every "file:" token names the file and every "version:" token is the
// announced number, and there is one of each; with `fromVersion`, every
// "from:" token is it, and there is one.
const char *commentFault(const std::string &comment, const char *fileName, int announcedVersion, int fromVersion)
{
    std::istringstream in(comment);
    std::string token;
    bool namesFile = false, namesVersion = false, namesFrom = false;
    while (in >> token) {
        if (token.compare(0, strlen(kCommentFile), kCommentFile) == 0) {
            if (token.substr(strlen(kCommentFile)) != fileName)
                return "it was made for another file";
            namesFile = true;
        } else if (token.compare(0, strlen(kCommentVersion), kCommentVersion) == 0) {
            if (!namesNumber(token.substr(strlen(kCommentVersion)), announcedVersion))
                return "it was made for another version";
            namesVersion = true;
        } else if (fromVersion && token.compare(0, strlen(kCommentFrom), kCommentFrom) == 0) {
            if (!namesNumber(token.substr(strlen(kCommentFrom)), fromVersion))
                return "it was made for another installed version";
            namesFrom = true;
        }
    }
    if (!namesFile)
        return "its trusted comment names no file";
    if (!namesVersion)
        return "its trusted comment names no version";
    if (fromVersion && !namesFrom)
        return "its trusted comment names no installed version";
    return nullptr;
}

const char *contentSignatureFault(const std::string &content, const std::string &signature, std::string &comment)
{
    SignatureParts parts;
    if (const char *fault = parseSignature(signature, parts))
        return fault;
    const unsigned char *data = reinterpret_cast<const unsigned char *>(content.data());
    unsigned char hash[crypto_generichash_BYTES_MAX];
    if (parts.prehashed) {
        crypto_generichash(hash, sizeof hash, data, content.size(), nullptr, 0);
        data = hash;
    }
    if (crypto_sign_verify_detached(parts.contentSignature(), data, parts.prehashed ? sizeof hash : content.size(),
                                    parts.publicKeyBytes()) != 0)
        return "the answer does not match its signature";
    if (!commentHolds(parts))
        return "its trusted comment was altered";
    comment = parts.comment;
    return nullptr;
}

bool verifyPackage(const char *packagePath, const char *fileName, const std::string &signature, int announcedVersion,
                   std::string &reason)
{
    return verifyFile(packagePath, fileName, signature, announcedVersion, 0, reason);
}

bool verifyDelta(const char *deltaPath, const char *fileName, const std::string &signature, int announcedVersion,
                 int fromVersion, std::string &reason)
{
    return verifyFile(deltaPath, fileName, signature, announcedVersion, fromVersion, reason);
}

const char *fileSignatureFault(const char *path, const std::string &signature, std::string &comment, bool delta)
{
    SignatureParts parts;
    if (const char *fault = parseSignature(signature, parts))
        return fault;
    // O_NONBLOCK: a FIFO put at the file's name is refused, never waited on.
    Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return delta ? "the delta cannot be read" : "the package cannot be read";
    bool matches = false;
    if (parts.prehashed) {
        unsigned char hash[crypto_generichash_BYTES_MAX];
        if (!hashFile(fd.fd, hash))
            return delta ? "the delta cannot be read" : "the package cannot be read";
        matches = crypto_sign_verify_detached(parts.contentSignature(), hash, sizeof hash, parts.publicKeyBytes()) == 0;
    } else {
        matches = verifyWholeFile(fd.fd, parts.contentSignature(), parts.publicKeyBytes());
    }
    if (!matches)
        return delta ? "the delta does not match its signature" : "the package does not match its signature";
    if (!commentHolds(parts))
        return "its trusted comment was altered";
    comment = parts.comment;
    return nullptr;
}

const char *commentSignatureFault(const std::string &signature, std::string &comment)
{
    SignatureParts parts;
    if (const char *fault = parseSignature(signature, parts))
        return fault;
    if (!commentHolds(parts))
        return "its trusted comment does not hold";
    comment = parts.comment;
    return nullptr;
}

bool publicKeyWellFormed(const std::string &line)
{
    std::vector<unsigned char> key;
    return sodium_init() >= 0 && decodeBase64(trimmed(line), key, 2 + kKeyIdSize + crypto_sign_PUBLICKEYBYTES) &&
           key[0] == 'E' && key[1] == 'd';
}
