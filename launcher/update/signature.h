// The publisher's check of a package or of the manifest: a minisign
// signature made with the key this launcher was built with.
#ifndef VANTORIQUE_SIGNATURE_H
#define VANTORIQUE_SIGNATURE_H

#include <string>

// The publisher's minisign public key (the base64 line of its .pub file),
// fixed at build time; empty when the build has none. Tests set their own.
extern std::string publicKey;

// Checks the package at `packagePath` against `signature` (the text of a
// .minisig file): made by publicKey, trusted comment naming `fileName` (the
// package's name on the server) and `announcedVersion`. True without a key; on success prints
// "Signature verified: NAME (version N)". On false, `reason` says why in a
// few words ("the package does not match its signature", ...).
bool verifyPackage(const char *packagePath, const char *fileName, const std::string &signature, int announcedVersion,
                   std::string &reason);

// The same check for a delta: `fileName` ("from-M.delta") and a trusted
// comment that names it, `announcedVersion` and the installed version it
// builds on (`fromVersion`, in a "from:" token, which must be there).
bool verifyDelta(const char *deltaPath, const char *fileName, const std::string &signature, int announcedVersion,
                 int fromVersion, std::string &reason);

// Why `signature` is not publicKey's signature of `content` (bytes held in
// memory, the manifest), or null when it is; then `comment` holds its
// trusted comment, which the caller still has to read.
const char *contentSignatureFault(const std::string &content, const std::string &signature, std::string &comment);

// Why a trusted comment does not name `fileName` and `announcedVersion`
// (one "file:" and one "version:" token at least, every one matching), or
// null. A non-zero `fromVersion` asks for a "from:" token naming it too.
const char *commentFault(const std::string &comment, const char *fileName, int announcedVersion, int fromVersion = 0);

// Why `signature` is not publicKey's signature of the file at `path` (a
// delta's words when `delta`), or null; then `comment` holds its trusted
// comment, which the caller still has to read.
const char *fileSignatureFault(const char *path, const std::string &signature, std::string &comment, bool delta);

// Why the trusted comment of `signature` was not signed by publicKey, or
// null with it in `comment`: for an answer whose comment says it all (the
// launcher's manifest), the content signed beside it is not needed.
const char *commentSignatureFault(const std::string &signature, std::string &comment);

// Whether `line` is a minisign public key line ("RW...").
bool publicKeyWellFormed(const std::string &line);

#endif
