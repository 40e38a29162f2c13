// The Telnet core without a network: option negotiation under hostile servers, data
// escaping in both directions, the environment answer, RFC 2217 answers and time-outs,
// and the session defaults.
#include <gtest/gtest.h>

#include "telnet/telnet_protocol.h"

namespace morvane::telnet {
namespace {

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}
constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

TelnetOptions passive() {
  TelnetOptions o;
  o.passive = true;
  return o;
}

TEST(TelnetNegotiation, passive_client_sends_nothing_until_asked_and_then_answers_once) {
  TelnetProtocol p(passive());
  p.start(0);
  EXPECT_EQ(p.take_output(), "");
  p.receive(bytes({IAC, DO, 31, IAC, WILL, 1, IAC, DO, 99}));
  // NAWS agreed and reported at once; ECHO accepted; an unknown option refused.
  EXPECT_EQ(p.take_output(), bytes({IAC, WILL, 31, IAC, SB, 31, 0, 80, 0, 24, IAC, SE, IAC, DO, 1, IAC, WONT, 99}));
  // The same requests again change nothing and are not answered (no loop).
  p.receive(bytes({IAC, DO, 31, IAC, WILL, 1, IAC, DONT, 99}));
  EXPECT_EQ(p.take_output(), "");
}

TEST(TelnetNegotiation, endless_option_flips_get_bounded_answers_and_never_loop) {
  TelnetProtocol p(passive());
  p.start(0);
  std::string flips;
  for (int i = 0; i < 10000; ++i) flips += bytes({IAC, WILL, 3, IAC, WONT, 3, IAC, DO, 0, IAC, DONT, 0});
  p.receive(flips);
  // Each flip is answered by exactly one command: never more output than input.
  EXPECT_EQ(p.take_output().size(), flips.size());
  EXPECT_FALSE(p.remote_enabled(3));
  EXPECT_FALSE(p.local_enabled(0));
  EXPECT_EQ(p.take_data(), "");
}

TEST(TelnetNegotiation, our_offer_answered_by_agreement_is_not_confirmed_again) {
  TelnetProtocol p(TelnetOptions{});
  p.start(0);
  std::string offers = p.take_output();
  EXPECT_NE(offers.find(bytes({IAC, WILL, 24})), std::string::npos);
  p.receive(bytes({IAC, DO, 24, IAC, DONT, 39, IAC, WILL, 1}));
  EXPECT_EQ(p.take_output(), "");  // answers to our own requests need no reply
  EXPECT_TRUE(p.local_enabled(24));
  EXPECT_FALSE(p.local_enabled(39));
  EXPECT_TRUE(p.remote_enabled(1));
  p.receive(bytes({IAC, SB, 24, 1, IAC, SE}));
  EXPECT_EQ(p.take_output(), bytes({IAC, SB, 24, 0}) + "xterm" + bytes({IAC, SE}));
}

TEST(TelnetData, iac_split_across_chunks_and_cr_nul_are_decoded) {
  TelnetProtocol p(passive());
  const std::string stream = std::string("a") + bytes({IAC, IAC}) + "b\r" + bytes({0}) + "c\r\n" +
                             bytes({IAC, 241}) + "d" + bytes({IAC, SB, 24, 1, IAC, SE}) + "e";
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    TelnetProtocol q(passive());
    q.receive(stream.substr(0, cut));
    q.receive(stream.substr(cut));
    EXPECT_EQ(q.take_data(), std::string("a\xff" "b\rc\r\nde")) << "cut at " << cut;
  }
}

// Outside BINARY only the NUL of CR NUL goes: a NUL anywhere else, a second NUL, and a NUL
// after CR IAC IAC stay, wherever the chunks are cut.
TEST(TelnetData, only_the_nul_right_after_cr_is_dropped) {
  const std::string stream = std::string("\0x\r\0\0\r\r\0y\r", 10) + bytes({IAC, IAC, 0}) + "\r";
  const std::string shown = std::string("\0x\r\0\r\ry\r\xff\0\r", 11);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    TelnetProtocol q(passive());
    q.receive(stream.substr(0, cut));
    q.receive(stream.substr(cut));
    q.receive(std::string(1, '\0'));  // after the trailing CR: dropped
    EXPECT_EQ(q.take_data(), shown) << "cut at " << cut;
  }
}

TEST(TelnetData, sent_data_doubles_iac_and_sends_bare_cr_as_cr_nul_outside_binary) {
  TelnetProtocol p(passive());
  p.send(std::string("x\xff\r\ny\r"));
  EXPECT_EQ(p.take_output(), std::string("x\xff\xff\r\ny\r") + bytes({0}));
  p.receive(bytes({IAC, DO, 0}));
  p.take_output();
  p.send("y\r");  // BINARY: no CR translation
  EXPECT_EQ(p.take_output(), "y\r");
}

TEST(TelnetData, endless_subnegotiation_is_bounded_and_data_resumes_after_it_ends) {
  TelnetProtocol p(passive());
  p.receive(bytes({IAC, DO, 24}));
  p.take_output();
  p.receive(bytes({IAC, SB, 24, 1}));
  std::string junk(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) p.receive(junk);  // 8 MiB inside one subnegotiation
  p.receive(bytes({IAC, SE}) + "after");
  EXPECT_EQ(p.take_data(), "after");
  EXPECT_EQ(p.take_output(), "");  // the over-long request is dropped, not answered
  auto ev = p.take_events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, TelnetEvent::Kind::SubnegotiationTooLong);
}

TEST(TelnetData, command_inside_subnegotiation_ends_it) {
  TelnetProtocol p(passive());
  p.receive(bytes({IAC, SB, 24, 1, IAC, WILL, 1}) + "ok");
  EXPECT_EQ(p.take_output(), bytes({IAC, DO, 1}));
  EXPECT_EQ(p.take_data(), "ok");
}

TEST(TelnetEnviron, send_answers_user_and_variables_escaped_with_rfc_or_swapped_codes) {
  for (bool rfc : {true, false}) {
    TelnetOptions o = passive();
    o.username = "alice";
    o.rfc_environ = rfc;
    o.environment = {{"DISPLAY", ":0"}, {"LANG", std::string("x\x01y")}};
    TelnetProtocol p(o);
    p.receive(bytes({IAC, DO, 39}));
    p.take_output();
    p.receive(bytes({IAC, SB, 39, 1, IAC, SE}));
    const int VAR = rfc ? 0 : 1, VALUE = rfc ? 1 : 0;
    EXPECT_EQ(p.take_output(), bytes({IAC, SB, 39, 0, VAR}) + "USER" + bytes({VALUE}) + "alice" + bytes({VAR}) +
                                   "DISPLAY" + bytes({VALUE}) + ":0" + bytes({3}) + "LANG" + bytes({VALUE}) + "x" +
                                   bytes({2, 1}) + "y" + bytes({IAC, SE}))
        << "rfc=" << rfc;
    // A named request we cannot fill is answered without a value.
    p.receive(bytes({IAC, SB, 39, 1, VAR}) + "USER" + bytes({VAR}) + "PRINTER" + bytes({IAC, SE}));
    EXPECT_EQ(p.take_output(), bytes({IAC, SB, 39, 0, VAR}) + "USER" + bytes({VALUE}) + "alice" + bytes({VAR}) +
                                   "PRINTER" + bytes({IAC, SE}));
  }
}

TelnetOptions serial(const std::string& flow) {
  TelnetOptions o;
  o.com_port_control = true;
  o.com_baud = 0x0100FF;  // a 0xFF byte inside the value must be doubled
  o.com_flow = flow;
  return o;
}

TEST(TelnetComPort, settings_follow_agreement_answers_are_matched_and_silence_times_out) {
  TelnetProtocol p(serial("D"));
  p.start(1000);
  EXPECT_NE(p.take_output().find(bytes({IAC, WILL, 44})), std::string::npos);
  p.receive(bytes({IAC, DO, 44}));
  EXPECT_EQ(p.take_output(), bytes({IAC, SB, 44, 1, 0, 1, 0, IAC, IAC, IAC, SE, IAC, SB, 44, 2, 8, IAC, SE,
                                    IAC, SB, 44, 3, 1, IAC, SE, IAC, SB, 44, 4, 1, IAC, SE, IAC, SB, 44, 5,
                                    19, IAC, SE, IAC, SB, 44, 5, 18, IAC, SE}));
  EXPECT_EQ(p.com_pending(), 6u);
  p.receive(bytes({IAC, SB, 44, 101, 0, 0, 0x25, 0x80, IAC, SE, IAC, SB, 44, 107, 0x30, IAC, SE}));
  auto ev = p.take_events();
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].kind, TelnetEvent::Kind::ComPortAccepted);
  EXPECT_EQ(ev[1].kind, TelnetEvent::Kind::ComPortMismatch);
  EXPECT_EQ(ev[1].value, 9600u);
  EXPECT_EQ(ev[1].asked, 0x0100FFu);
  EXPECT_EQ(ev[3].kind, TelnetEvent::Kind::ModemState);
  EXPECT_EQ(ev[3].value, 0x30u);
  p.tick(1000 + 14999);
  EXPECT_TRUE(p.take_events().empty());
  p.tick(1000 + 15000);
  ev = p.take_events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, TelnetEvent::Kind::ComPortUnanswered);
  EXPECT_EQ(ev[0].value, 5u);
}

TEST(TelnetComPort, refusal_is_reported_and_letters_map_to_rfc2217_codes) {
  TelnetProtocol p(serial("N"));
  p.start(0);
  p.receive(bytes({IAC, DONT, 44}));
  auto ev = p.take_events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, TelnetEvent::Kind::ComPortRefused);
  p.tick(60000);
  EXPECT_TRUE(p.take_events().empty());
  EXPECT_EQ(TelnetProtocol::parity_code("e"), 3);
  EXPECT_EQ(TelnetProtocol::parity_code("S"), 5);
  EXPECT_EQ(TelnetProtocol::parity_code("X"), 1);
  EXPECT_EQ(TelnetProtocol::stop_code("1.5"), 3);
  EXPECT_EQ(TelnetProtocol::flow_codes("X"), std::vector<std::uint8_t>{2});
  EXPECT_EQ(TelnetProtocol::flow_codes("R"), std::vector<std::uint8_t>{3});
  EXPECT_EQ(TelnetProtocol::flow_codes("?"), std::vector<std::uint8_t>{1});
}

TEST(TelnetSession, defaults_and_fallbacks_of_both_kinds) {
  auto t = TelnetOptions::from_session(Json{{"port", "abc"}, {"telnet_env", Json::array({
      Json{{"key", "A"}, {"value", 5}}, Json{{"key", ""}, {"value", "x"}}, "junk", Json{{"key", "B"}},
      Json{{"key", "A"}, {"value", "again"}}})}},
                                       false);
  EXPECT_EQ(t.port, 23);
  EXPECT_EQ(t.term_type, "xterm");
  EXPECT_EQ(t.term_speed, "38400,38400");
  EXPECT_FALSE(t.passive);
  EXPECT_TRUE(t.rfc_environ);
  ASSERT_EQ(t.environment.size(), 2u);
  EXPECT_EQ(t.environment[0], (std::pair<std::string, std::string>{"A", "again"}));
  EXPECT_EQ(t.environment[1], (std::pair<std::string, std::string>{"B", ""}));

  auto s = TelnetOptions::from_session(Json{{"serial_bits", "eight"}, {"telnet_env", Json::array({Json{{"key", "A"}}})}}, true);
  EXPECT_TRUE(s.environment.empty());
  EXPECT_EQ(s.com_baud, 9600);
  EXPECT_EQ(s.com_bits, 8);  // not a number: 8, not a stalled start-up
  auto v = s.notice_values();
  EXPECT_EQ(v["port"], 23);
  EXPECT_EQ(json::text_form(v["baud"]) + " " + json::text_form(v["bits"]) + "-" + json::text_form(v["parity"]) + "-" +
                json::text_form(v["stop"]) + " flow=" + json::text_form(v["flow"]),
            "9600 8-N-1 flow=N");
}

}  // namespace
}  // namespace morvane::telnet
