// Names a peer sends, and the files a receive leaves behind: never outside the receive
// folder, never over an existing file, never a partial file under the final name.
#include <gtest/gtest.h>

#include "peer.h"
#include "xfer/file_access.h"
#include "xfer/xyz_transfer.h"
#include "xfer/zmodem_frame.h"

namespace fs = std::filesystem;
using namespace morvane::xfer;
using namespace xfer_test;

TEST(PeerFileNames, hostile_names_stay_inside_the_receive_folder) {
  EXPECT_EQ(sanitize_name("../../etc/passwd"), "passwd");
  EXPECT_EQ(sanitize_name("/abs/path/x.txt"), "x.txt");
  EXPECT_EQ(sanitize_name("C:\\Windows\\system32\\evil.dll"), "evil.dll");
  EXPECT_EQ(sanitize_name(".."), "received");
  EXPECT_EQ(sanitize_name("dir/.."), "received");
  EXPECT_EQ(sanitize_name(""), "received");
  EXPECT_EQ(sanitize_name("a\x01\x1b[31mb"), "a[31mb");
  EXPECT_EQ(sanitize_name("CON"), "_CON");
  EXPECT_EQ(sanitize_name("com1.txt"), "_com1.txt");
  EXPECT_EQ(sanitize_name("a:b*c?.txt. . "), "a_b_c_.txt");
  EXPECT_EQ(sanitize_name("name with spaces ü.bin"), "name with spaces ü.bin");
  std::string longname(300, 'a');
  longname += "\xc3\xbc";
  EXPECT_LE(sanitize_name(longname).size(), 200u);
  std::string cut = std::string(199, 'a') + "\xc3\xbc";  // a two-byte letter across the bound
  EXPECT_EQ(sanitize_name(cut), std::string(199, 'a'));
}

TEST(PeerFileNames, existing_file_gets_a_numbered_name_instead_of_being_overwritten) {
  TempDir d;
  write_file(d.path / "a.txt", "old");
  write_file(d.path / "a (1).txt", "old1");
  auto files = local_files();
  std::string err, path;
  auto sink = files->create(d.path.string(), "a.txt", err);
  ASSERT_TRUE(sink) << err;
  const uint8_t data[] = {'n', 'e', 'w'};
  ASSERT_TRUE(sink->write(data, 3, err));
  EXPECT_FALSE(fs::exists(d.path / "a (2).txt")) << "the final name appears only on commit";
  ASSERT_TRUE(sink->commit(path, err)) << err;
  EXPECT_EQ(fs::path(path).filename(), "a (2).txt");
  EXPECT_EQ(read_file(d.path / "a.txt"), "old");
  EXPECT_EQ(read_file(path), "new");
}

namespace {
// A disk that fills up after `room` bytes.
struct FullDisk : FileAccess {
  size_t room;
  std::shared_ptr<FileAccess> real = local_files();
  explicit FullDisk(size_t r) : room(r) {}
  std::unique_ptr<FileSource> open_read(const std::string& p, std::string& e) override { return real->open_read(p, e); }
  std::unique_ptr<FileSink> create(const std::string& dir, const std::string& name, std::string& err) override {
    struct Sink : FileSink {
      std::unique_ptr<FileSink> inner;
      size_t* room;
      bool write(const uint8_t* p, size_t n, std::string& e) override {
        if (n > *room) {
          e = "No space left on device";
          return false;
        }
        *room -= n;
        return inner->write(p, n, e);
      }
      bool commit(std::string& f, std::string& e) override { return inner->commit(f, e); }
      void discard() noexcept override { inner->discard(); }
    };
    auto s = std::make_unique<Sink>();
    s->inner = real->create(dir, name, err);
    s->room = &room;
    if (!s->inner) return nullptr;
    return s;
  }
};
}  // namespace

TEST(ZmodemReceiveFiles, full_disk_ends_the_transfer_with_a_reason_and_removes_the_partial_file) {
  TempDir d;
  std::string out;
  Event done;
  XYZModemTransfer::Options o;
  o.protocol = "zmodem";
  o.direction = "recv";
  o.save_dir = d.path.string();
  o.file_access = std::make_shared<FullDisk>(1500);
  o.send_bytes = [&](std::string_view s) { out += s; };
  o.on_event = [&](const Event& e) {
    if (e["kind"] == "done") done = e;
  };
  XYZModemTransfer t(o);
  t.start(0);
  // A sender's side, written with the same frame layer.
  zm::Encoder enc;
  std::string wire;
  enc.bin_header(wire, zm::Header::flags(zm::ZFILE, 1), true);
  std::string info = std::string("../evil.bin") + '\0' + "4096 0 100644";
  enc.subpacket(wire, reinterpret_cast<const uint8_t*>(info.data()), info.size(), zm::ZCRCW, true);
  enc.bin_header(wire, zm::Header::at(zm::ZDATA, 0), true);
  std::string data(1024, 'z');
  for (int i = 0; i < 4; ++i)
    enc.subpacket(wire, reinterpret_cast<const uint8_t*>(data.data()), data.size(), i == 3 ? zm::ZCRCE : zm::ZCRCG, true);
  t.feed(wire, 10);
  ASSERT_TRUE(t.is_done());
  EXPECT_EQ(done["ok"], false);
  EXPECT_EQ(done["reason"], "writing evil.bin: No space left on device");
  EXPECT_TRUE(out.ends_with(std::string(zm::cancel_sequence()))) << "the sender must be told to stop";
  EXPECT_TRUE(fs::is_empty(d.path));
  EXPECT_FALSE(fs::exists(d.path.parent_path() / "evil.bin"));
}
