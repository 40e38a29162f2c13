// SUPDUP against a test server built from RFC 734 (no Debian server exists): the server
// side here reads and checks every start-up word and the location, then answers with a
// greeting and SUPDUP output whose translation for xterm.js is checked. Also the Rlogin
// handshake edge cases and the session defaults of both kinds.
#include <gtest/gtest.h>

#include "telnet/rlogin_protocol.h"
#include "telnet/supdup_protocol.h"

namespace morvane::telnet {
namespace {

// The server half of the SUPDUP start-up: the count word, then that many words, then
// 0300 0302 location 0. Returns the words after the count; fails the test on any error.
std::vector<std::uint64_t> server_read_startup(const std::string& in, std::string* location) {
  std::vector<std::uint64_t> words;
  for (char c : in.substr(0, 6)) EXPECT_LT(static_cast<std::uint8_t>(c), 0100) << "not a 6-bit byte";
  const std::uint64_t count = SupdupProtocol::read_word(in.substr(0, 6));
  EXPECT_EQ(count & 0777777, 0u) << "right half of the count word";
  const std::uint64_t n = (std::uint64_t{1} << 18) - (count >> 18);  // minus the count
  EXPECT_GE(n, 5u);
  std::size_t pos = 6;
  for (std::uint64_t i = 0; i < n && pos + 6 <= in.size(); ++i, pos += 6) words.push_back(SupdupProtocol::read_word(in.substr(pos, 6)));
  EXPECT_EQ(in.substr(pos, 2), "\300\302");
  auto end = in.find('\0', pos + 2);
  EXPECT_NE(end, std::string::npos);
  *location = in.substr(pos + 2, end - pos - 2);
  EXPECT_EQ(end + 1, in.size());
  return words;
}

TEST(Supdup, startup_words_carry_size_options_and_location) {
  SupdupOptions o;
  o.term_width = 100;
  o.term_height = 40;
  o.more_processing = true;
  o.scrolling = false;
  o.charset = "its";
  o.location = "Lab \xe2\x98\x83";
  SupdupProtocol p(o);
  p.start();
  std::string location;
  auto w = server_read_startup(p.take_output(), &location);
  ASSERT_EQ(w.size(), 6u);
  EXPECT_EQ(w[0], 7u);                               // TCTYP
  EXPECT_TRUE(w[1] & SupdupProtocol::TPCBS);          // 034 escapes on input: must be set
  EXPECT_TRUE(w[1] & SupdupProtocol::TOMOR);
  EXPECT_FALSE(w[1] & SupdupProtocol::TOROL);
  EXPECT_TRUE((w[1] & SupdupProtocol::TOSAI) && (w[1] & SupdupProtocol::TOSA1));
  EXPECT_TRUE(w[1] & SupdupProtocol::TOMVU);
  EXPECT_EQ(w[2], 40u);                              // TCMXV
  EXPECT_EQ(w[3], 99u);                              // TCMXH: width - 1
  EXPECT_EQ(w[4], 1u);                               // TTYROL
  EXPECT_EQ(w[5], 0u);                               // TTYSMT
  EXPECT_EQ(location, "Lab ???");                    // printing ASCII only

  SupdupProtocol plain{SupdupOptions{}};
  plain.start();
  w = server_read_startup(plain.take_output(), &location);
  EXPECT_FALSE(w[1] & SupdupProtocol::TOSAI);
  EXPECT_TRUE(w[1] & SupdupProtocol::TOROL);
  EXPECT_FALSE(w[1] & SupdupProtocol::TOMOR);
  EXPECT_EQ(location, "Morvane");
}

TEST(Supdup, greeting_then_td_codes_become_xterm_sequences) {
  SupdupProtocol p{SupdupOptions{}};
  p.start();
  p.take_output();
  // Greeting up to %TDNOP, then: clear, text, move to (5,10), erase to end of line,
  // insert 2 lines, a quoted byte, bell, inverse video and reset.
  p.receive(std::string("TEST ITS\r\n\210\220hi\217\005\012x\203\223\002\215\033\221\227A\230"));
  EXPECT_EQ(p.take_data(), "TEST ITS\r\n\x1b[H\x1b[2Jhi\x1b[6;11Hx\x1b[K\x1b[2L\x1b\a\x1b[7mA\x1b[m");
  EXPECT_EQ(p.cursor_row(), 5);
  EXPECT_EQ(p.cursor_col(), 12);
  // Output reset: the server learns where the cursor is.
  p.receive("\214");
  EXPECT_EQ(p.take_output(), std::string("\034\020\005\014"));
}

TEST(Supdup, arguments_split_across_chunks_and_region_scroll_restores_the_cursor) {
  SupdupProtocol p{SupdupOptions{}};
  p.receive("\210");
  for (char c : std::string("\217\003\004\232\005\002")) p.receive(std::string(1, c));
  EXPECT_EQ(p.take_data(), "\x1b[4;5H\x1b[4;8r\x1b[2S\x1b[r\x1b[4;5H");
}

TEST(Supdup, character_sets_and_graphics_are_shown_without_losing_sync) {
  SupdupOptions its;
  its.charset = "its";
  SupdupProtocol p(its);
  p.receive(std::string("\210\002\030\177", 4));
  EXPECT_EQ(p.take_data(), "α←∫");
  SupdupOptions waits;
  waits.charset = "waits";
  SupdupProtocol w(waits);
  w.receive(std::string("\210\013\136\137", 4));
  EXPECT_EQ(w.take_data(), "∫↑←");
  SupdupProtocol a{SupdupOptions{}};
  // ASCII: control codes become visible pictures; graphics mode is skipped to the next %TD.
  a.receive(std::string("\210\007\231junk\203ok", 10));
  EXPECT_EQ(a.take_data(), "␇\x1b[Kok");
}

TEST(Supdup, input_escapes_034_and_bytes_above_0177) {
  SupdupProtocol p{SupdupOptions{}};
  p.send(std::string("a\034b\xc3\xa9"));
  EXPECT_EQ(p.take_output(), std::string("a\034\034b\034\101\103\034\101\051"));
  p.logout();
  EXPECT_EQ(p.take_output(), "\300\301");
  EXPECT_FALSE(p.resize(30, 100));
}

TEST(SupdupSession, charset_is_normalised_and_defaults_show_in_the_notice) {
  EXPECT_EQ(SupdupOptions::from_session(Json{{"supdup_charset", "ITS"}}).charset, "its");
  EXPECT_EQ(SupdupOptions::from_session(Json{{"supdup_charset", "ebcdic"}}).charset, "ascii");
  auto o = SupdupOptions::from_session(Json::object());
  EXPECT_EQ(o.port, 95);
  EXPECT_FALSE(o.more_processing);
  EXPECT_TRUE(o.scrolling);
  EXPECT_EQ(o.location, "Morvane");
  auto v = o.notice_values();
  EXPECT_EQ(v["more"], "off");
  EXPECT_EQ(v["scroll"], "on");
}

TEST(Rlogin, handshake_refusal_and_window_messages) {
  RloginOptions o;
  o.local_username = "me";
  o.remote_username = "you";
  o.term_speed = "9600,4800";
  RloginProtocol p(o);
  p.start(0);
  EXPECT_EQ(p.take_output(), std::string("\0me\0you\0xterm/9600\0", 19));
  p.resize(50, 132);
  EXPECT_EQ(p.take_output(), "");  // not asked yet
  p.urgent(0x80);
  EXPECT_EQ(p.take_output(), std::string("\xff\xffss\0\x32\0\x84\0\0\0\0", 12));
  p.receive(std::string("\0hello", 6));
  EXPECT_EQ(p.state(), RloginProtocol::State::Ready);
  EXPECT_EQ(p.take_data(), "hello");
  p.receive(std::string("\0", 1));  // a NUL after the acknowledgement is data
  EXPECT_EQ(p.take_data(), std::string("\0", 1));

  RloginProtocol r(o);
  r.start(0);
  r.tick(14999);
  EXPECT_EQ(r.state(), RloginProtocol::State::AwaitingAck);
  r.receive("\1Permission denied.\r\n");
  EXPECT_EQ(r.state(), RloginProtocol::State::Refused);
  EXPECT_EQ(r.refusal(), "Permission denied.\r\n");
  RloginProtocol t(o);
  t.start(0);
  t.tick(15000);
  EXPECT_EQ(t.state(), RloginProtocol::State::TimedOut);
}

TEST(RloginSession, user_names_fall_back_to_username_environment_and_user) {
  auto a = RloginOptions::from_session(Json::object(), "winuser");
  EXPECT_EQ(a.local_username, "winuser");
  EXPECT_EQ(a.remote_username, "winuser");
  EXPECT_EQ(a.port, 513);
  auto b = RloginOptions::from_session(Json{{"username", "bob"}}, "winuser");
  EXPECT_EQ(b.local_username, "bob");
  EXPECT_EQ(b.remote_username, "bob");
  auto c = RloginOptions::from_session(Json{{"port", 0}}, nullptr);
  EXPECT_EQ(c.local_username, "user");
  EXPECT_EQ(c.remote_username, "user");
  EXPECT_EQ(c.port, 513);
}

}  // namespace
}  // namespace morvane::telnet
