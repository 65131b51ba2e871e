// zip64 when packing, read by the peers: minutes under the sanitizers, so
// these run under the CTest label "big" (scripts/test runs them once).
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;

// zip64 where it is needed and nowhere else: a 4 GiB entry (a sparse file of
// zeros packs to a few MB) and more than 65,535 entries, read by the peers.
TEST(Pack, Zip64ForAnEntryOf4GiBReadByThePeers)
{
    ScratchDir dir;
    const unsigned long long free_mb = std::stoull(output_of("df -Pm " + quote(dir.path) + " | awk 'NR == 2 {print $4}'"));
    if (free_mb < 1024)
        GTEST_SKIP() << "only " << free_mb << " MB free in " << dir.path << ": the 4 GiB entry test needs about 1 GB";
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir Big && truncate -s 4200M Big/disk.img && echo small >Big/a.txt"), 0);
    ASSERT_EQ(pack(dir / "Big", dir / "big.zip", 1), 1);
    const std::string zip = quote(dir / "big.zip");
    // Each entry's local and central extra fields, its version needed and its size, as Python reads them.
    EXPECT_EQ(output_of("python3 -c \"import zipfile, struct, sys\n"
                        "z = zipfile.ZipFile(sys.argv[1]); b = open(sys.argv[1], 'rb').read()\n"
                        "for i in sorted(z.infolist(), key=lambda i: i.filename):\n"
                        "  h = i.header_offset; n, m = struct.unpack_from('<HH', b, h + 26)\n"
                        "  print(i.filename, i.file_size, i.extract_version, len(b[h + 30 + n:h + 30 + n + m]), len(i.extra))\" " + zip),
              "Big/a.txt 6 20 0 0\nBig/disk.img 4404019200 45 20 12\n")
        << "small entries keep plain headers; the big one has zip64 extra fields";
    EXPECT_EQ(output_of("unzip -tq " + zip + " 2>&1; echo status $?"), "No errors detected in compressed data of " +
                                                                       dir.path + "/big.zip.\nstatus 0\n");
    EXPECT_EQ(output_of("bsdtar -tvf " + zip + " Big/disk.img | awk '{print $5}'"), "4404019200\n") << "bsdtar";
    unsigned long long entries = 0, bytes = 0;
    EXPECT_EQ(captured([&] { return test_archive((dir / "big.zip").c_str(), &entries, &bytes); }), 1);
    EXPECT_EQ(bytes, 4404019206ull) << "test_archive: the bytes of both entries, past 4 GiB";
}

TEST(Pack, Zip64EndRecordsForMoreThan65535EntriesAndReadingUpToThem)
{
    ScratchDir dir;
    // 65,536: the first count past what the end record holds, where the zip64 records begin.
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir Many && cd Many && seq -f f%05g 65536 | xargs touch"), 0);
    std::string out;
    ASSERT_EQ(pack(dir / "Many", dir / "many.zip", 1, &out), 1) << out.substr(0, 300);
    const std::string zip = quote(dir / "many.zip");
    EXPECT_EQ(output_of("unzip -tq " + zip + " 2>&1 | tail -1; echo status $?"),
              "No errors detected in compressed data of " + dir.path + "/many.zip.\nstatus 0\n");
    EXPECT_EQ(output_of("bsdtar -tf " + zip + " | wc -l"), "65536\n") << "bsdtar";
    EXPECT_EQ(output_of("python3 -c 'import zipfile, sys; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' " + zip),
              "65536\n") << "Python";
    EXPECT_EQ(unpack(dir / "many.zip", dir / "out/"), 1);
    EXPECT_EQ(output_of("ls " + quote(dir / "out/Many") + " | wc -l"), "65536\n") << "our unpack";
    python_zip(dir / "most.zip", "for k in range(65534): add('d%d/' % k, b'', 0o40755)\nadd('last.txt', b'65535th')");
    EXPECT_EQ(unpack(dir / "most.zip", dir / "most/", &out), 1) << out.substr(out.size() - 200);  // 65,535 entries read
    EXPECT_EQ(read_file(dir / "most/last.txt"), "65535th");
}

