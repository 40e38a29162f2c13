// Known answers for the SSH-1 crypto pieces, and the packet layer against broken and hostile
// input.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "ssh1/cipher.h"
#include "ssh1/crc32.h"
#include "ssh1/packet.h"

using namespace morvane::ssh1;

namespace {

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) h += {d[c >> 4], d[c & 15]};
  return h;
}

std::string swap_words(std::string s) {
  for (size_t i = 0; i + 4 <= s.size(); i += 4) {
    std::swap(s[i], s[i + 3]);
    std::swap(s[i + 1], s[i + 2]);
  }
  return s;
}

std::string enc(Cipher& c, std::string s) {
  c.encrypt(reinterpret_cast<uint8_t*>(s.data()), s.size());
  return s;
}
std::string dec(Cipher& c, std::string s) {
  c.decrypt(reinterpret_cast<uint8_t*>(s.data()), s.size());
  return s;
}

std::string evp_ede3_cbc(const std::string& key, const std::string& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  unsigned char iv[8] = {};
  std::string out(in.size() + 8, '\0');
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), iv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                    reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

}  // namespace

TEST(Ssh1Crypto, crc32_matches_the_standard_check_value) {
  const char* s = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(s), 9), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  // Incremental use gives the same value as one pass.
  uint32_t part = crc32(reinterpret_cast<const uint8_t*>(s), 4);
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(s + 4), 5, part), 0xCBF43926u);
  // The packet form skips both inversions (what plink checks; see the plink test).
  const auto* u = reinterpret_cast<const uint8_t*>(s);
  // 0x2DFD2D88 is ~zlib.crc32(data, 0xFFFFFFFF): the register run from zero, no final inversion.
  EXPECT_EQ(ssh1_crc32(u, 9), 0x2DFD2D88u);
  EXPECT_NE(ssh1_crc32(u, 9), 0xCBF43926u);
  EXPECT_EQ(ssh1_crc32(nullptr, 0), 0u);
}

TEST(Ssh1Crypto, blowfish_matches_published_ecb_vectors_in_ssh1_byte_order) {
  struct V {
    const char *key, *plain, *cipher;
  } vs[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
  };
  for (const auto& v : vs) {
    // First block with a zero IV is plain ECB; SSH-1 reads each 32-bit word little-endian.
    auto c = make_blowfish(unhex(v.key));
    EXPECT_EQ(hex(swap_words(enc(*c, swap_words(unhex(v.plain))))), v.cipher) << v.key;
    auto d = make_blowfish(unhex(v.key));
    EXPECT_EQ(hex(swap_words(dec(*d, swap_words(unhex(v.cipher))))), v.plain) << v.key;
  }
}

TEST(Ssh1Crypto, triple_des_first_block_matches_published_vectors) {
  // Single DES (all three keys equal): "Now is t".
  std::string k = unhex("0123456789ABCDEF");
  auto c = make_3des(k + k + k);
  EXPECT_EQ(hex(enc(*c, "Now is t")), "3FA40E8A984D4815");
  // Three keys, the TDEA example: first block of "The qufck brown fox jump".
  auto c3 = make_3des(unhex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123"));
  EXPECT_EQ(hex(enc(*c3, "The qufc")), "A826FD8CE53B855F");
}

TEST(Ssh1Crypto, triple_des_chains_each_stage_on_its_own) {
  std::string k = unhex("0123456789ABCDEF");
  std::string text = "Now is the time for all ";
  // With one key the inner chains collapse to single DES-CBC, which EDE3-CBC with three
  // equal keys also is.
  auto same = make_3des(k + k + k);
  EXPECT_EQ(hex(enc(*same, text)), hex(evp_ede3_cbc(k + k + k, text)));
  // With three keys the first block still agrees, the second does not: the chaining is
  // inside each stage, not around the whole.
  std::string k3 = unhex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123");
  auto c = make_3des(k3);
  std::string mine = enc(*c, text), outer = evp_ede3_cbc(k3, text);
  EXPECT_EQ(mine.substr(0, 8), outer.substr(0, 8));
  EXPECT_NE(mine.substr(8, 8), outer.substr(8, 8));
  // Chaining carries across calls: two calls equal one.
  auto a = make_3des(k3), b = make_3des(k3);
  std::string first = enc(*a, text.substr(0, 8));
  std::string rest = enc(*a, text.substr(8));
  EXPECT_EQ(first + rest, enc(*b, text));
  auto d = make_3des(k3);
  EXPECT_EQ(dec(*d, mine), text);
}

TEST(Ssh1Crypto, session_key_selects_the_documented_key_bytes) {
  std::string key;
  for (int i = 0; i < 32; ++i) key.push_back(static_cast<char>(i * 7 + 1));
  std::string block = "ABCDEFGH12345678";
  auto a = make_cipher(kCipher3Des, key);
  auto b = make_3des(key.substr(0, 24));
  EXPECT_EQ(enc(*a, block), enc(*b, block));
  auto c = make_cipher(kCipherBlowfish, key);
  auto d = make_blowfish(key);
  EXPECT_EQ(enc(*c, block), enc(*d, block));
  EXPECT_EQ(make_cipher(kCipherDes, key), nullptr);
  EXPECT_THROW(make_cipher(kCipher3Des, key.substr(0, 16)), std::invalid_argument);
}

TEST(Ssh1Packet, round_trips_with_each_cipher_in_any_split) {
  std::string key(32, 'k');
  for (int id : {kCipherNone, kCipher3Des, kCipherBlowfish}) {
    PacketWriter w(default_random());
    PacketReader r;
    if (id != kCipherNone) {
      w.set_cipher(make_cipher(id, key));
      r.set_cipher(make_cipher(id, key));
    }
    std::string wire;
    for (size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 1000u}) wire += w.build(SSH_CMSG_STDIN_DATA, std::string(n, 'a' + n % 26));
    for (size_t i = 0; i < wire.size(); ++i) r.feed(wire.substr(i, 1));
    for (size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 1000u}) {
      auto p = r.next();
      ASSERT_TRUE(p) << id;
      EXPECT_EQ(p->type, SSH_CMSG_STDIN_DATA);
      EXPECT_EQ(p->data, std::string(n, 'a' + n % 26));
    }
    EXPECT_FALSE(r.next());
    EXPECT_EQ(r.buffered(), 0u);
  }
}

TEST(Ssh1Packet, layout_is_length_padding_type_data_crc) {
  PacketWriter w(default_random());
  std::string p = w.build(SSH_CMSG_EOF, "xyz");
  // length 8 (type + 3 + CRC), 8 bytes of padding, zero before encryption.
  ASSERT_EQ(p.size(), 4u + 8u + 8u);
  EXPECT_EQ(p.substr(0, 4), std::string("\0\0\0\x08", 4));
  EXPECT_EQ(p.substr(4, 8), std::string(8, '\0'));
  EXPECT_EQ(p[12], SSH_CMSG_EOF);
  EXPECT_EQ(p.substr(13, 3), "xyz");
  uint32_t crc = ssh1_crc32(reinterpret_cast<const uint8_t*>(p.data() + 4), 12);
  EXPECT_EQ(static_cast<uint8_t>(p[16]), crc >> 24);
  EXPECT_EQ(static_cast<uint8_t>(p[19]), crc & 0xFF);
  // Encrypted packets get random padding: two builds of one message differ.
  std::string k(32, 'q');
  PacketWriter a(default_random()), b(default_random());
  a.set_cipher(make_cipher(kCipher3Des, k));
  b.set_cipher(make_cipher(kCipher3Des, k));
  EXPECT_NE(a.build(SSH_CMSG_EOF, ""), b.build(SSH_CMSG_EOF, ""));
}

TEST(Ssh1Packet, hostile_lengths_fail_before_anything_is_kept) {
  for (uint32_t len : {0u, 4u, kMaxPacketLength + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    PacketReader r;
    std::string h;
    put_u32(h, len);
    r.feed(h);
    EXPECT_THROW(r.next(), ProtocolError) << len;
    // The reader stays failed: no resynchronising on garbage.
    EXPECT_THROW(r.next(), ProtocolError);
  }
  // The largest allowed length is waited for, not refused.
  PacketReader r;
  std::string h;
  put_u32(h, kMaxPacketLength);
  r.feed(h);
  EXPECT_FALSE(r.next());
}

TEST(Ssh1Packet, corrupted_bytes_fail_the_crc) {
  std::string key(32, 'z');
  for (int id : {kCipherNone, kCipher3Des, kCipherBlowfish}) {
    PacketWriter w(default_random());
    if (id) w.set_cipher(make_cipher(id, key));
    std::string p = w.build(SSH_SMSG_STDOUT_DATA, "some terminal output");
    for (size_t at : {size_t(4), size_t(12), p.size() - 1}) {
      std::string bad = p;
      bad[at] = static_cast<char>(bad[at] ^ 0x20);
      PacketReader r;
      if (id) r.set_cipher(make_cipher(id, key));
      r.feed(bad);
      EXPECT_THROW(r.next(), ProtocolError) << id << " at " << at;
    }
  }
}

TEST(Ssh1Packet, field_reader_refuses_reads_past_the_end) {
  std::string d;
  put_u32(d, 0xFFFFFFF0u);  // a string length far past the data
  d += "abc";
  FieldReader f(d);
  EXPECT_THROW(f.string(), ProtocolError);
  const std::string short_mp("\xFF\xFF\x01", 3);  // 65535-bit mp-int, one byte present
  FieldReader g(short_mp);
  EXPECT_THROW(g.mpint(), ProtocolError);
  std::string m;
  put_mpint(m, std::string("\x00\x01\x80", 3));
  EXPECT_EQ(m, std::string("\x00\x09\x01\x80", 4));  // 9 bits, leading zero dropped
  FieldReader h(m);
  EXPECT_EQ(h.mpint(), std::string("\x01\x80", 2));
  EXPECT_TRUE(h.at_end());
}
