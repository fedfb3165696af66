// SPDX-License-Identifier: Apache-2.0
// liblinphone as a far end judged by rttcheck's rules, as callee (rttmodem dials it) and as caller
// (it dials rttmodem), with the library's own payload type numbers and redundancy. Each call is
// traced by rttmodem (--trace-dir); the peer logs what it typed and showed (--text-log), which goes
// into the trace as the far side's text, so that delivery is judged both ways.
//
// What is ours is asserted: the trace is finished and reads, every rule gets a verdict, text gets
// across both ways, and rttmodem's own side, judged from the same trace turned around, keeps every
// rule as it does against another rttmodem. The peer's verdicts are printed (docs/rtt-conformance.md
// reads them), not asserted: a rule the peer breaks is a finding about the peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "conformance.h"
#include "proc.h"
#include "temp_dir.h"
#include "trace_reader.h"
#include "verdict_report.h"

namespace rttmodem::testing {
namespace {

namespace fs = std::filesystem;
using trace::Direction;
using trace::Trace;
using trace::Verdict;

#ifdef LINPHONE_PEER
const std::string kPeer = LINPHONE_PEER;
#endif
const std::string kBin = RTTMODEM_BIN;
const std::string kLs = "\xE2\x80\xA8";

// ---- the traces ----------------------------------------------------------------------------------

// The folder's one trace: finished (its name, not .part) and read whole, with its end line.
std::optional<Trace> finishedTrace(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
  EXPECT_EQ(files.size(), 1u) << dir;
  if (files.size() != 1) return std::nullopt;
  EXPECT_EQ(files[0].extension(), ".rtttrace") << files[0];
  auto r = trace::readTraceFile(files[0]);
  EXPECT_TRUE(r.trace) << r.error;
  EXPECT_TRUE(r.ended) << files[0];
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
  return r.trace;
}

// The peer's --text-log (typed and shown lines, on the monotonic clock) read as trace events.
std::vector<trace::Event> farSide(const fs::path& log) {
  const std::string text = trace::formatHeader({"far", "callee", "", "", "", 0}) + kit::testing::readFile(log);
  auto r = trace::readTrace(text);
  EXPECT_TRUE(r.trace) << r.error;
  return r.trace ? r.trace->events : std::vector<trace::Event>{};
}

// The trace with the far side's text events put in, at their times since the trace's origin.
Trace withFarSide(Trace t, const std::vector<trace::Event>& far) {
  auto end = std::find_if(t.events.begin(), t.events.end(), [](auto& e) { return std::holds_alternative<trace::End>(e); });
  const auto at = end - t.events.begin();
  std::vector<trace::Event> moved;
  for (trace::Event e : far) {
    auto& x = std::get<trace::TextEvent>(e);
    x.us -= t.call.originUs;
    moved.push_back(e);
  }
  t.events.insert(t.events.begin() + at, moved.begin(), moved.end());
  if (t.lines.size() >= static_cast<std::size_t>(at)) t.lines.insert(t.lines.begin() + at, moved.size(), 0);
  return t;
}

// The same call seen from the far end: each message and packet the other way, each side's text the
// other side's. Judged, it holds rttmodem to the rules it holds the far end to.
Trace turnedAround(Trace t) {
  auto other = [](Direction d) { return d == Direction::In ? Direction::Out : Direction::In; };
  for (trace::Event& e : t.events) {
    if (auto* m = std::get_if<trace::SipMessage>(&e)) m->dir = other(m->dir);
    if (auto* p = std::get_if<trace::RtpPacket>(&e)) p->dir = other(p->dir);
    if (auto* x = std::get_if<trace::TextEvent>(&e)) x->side = x->side == "far" ? "local" : "far";
  }
  t.call.role = t.call.role == "caller" ? "callee" : "caller";
  std::swap(t.call.local, t.call.peer);
  return t;
}

trace::CallReport judged(const std::string& name, const Trace& t) {
  trace::ReadResult read;
  read.trace = t;
  read.ended = true;
  return trace::reportOf(name, read);
}

std::map<std::string, trace::RuleResult> byRule(const trace::CallReport& c) {
  std::map<std::string, trace::RuleResult> out;
  for (const auto& r : c.results) out[std::string(r.rule->id)] = r;
  return out;
}

std::string report(const trace::RuleResult& r) {
  std::string s = std::string(r.rule->id) + ": " + std::string(trace::verdictName(r.verdict)) + ": " + r.summary;
  for (const auto& e : r.evidence) s += "\n  " + e;
  return s;
}

// ---- the scenario --------------------------------------------------------------------------------

// What the peer types (its --pace script): a line at a steady pace, a pause of 2.5 s, a paste of
// 300 characters at once, a last line; and what rttmodem shows of it.
struct Script {
  std::string input, expected, lastLine;
};

Script peerScript() {
  Script s;
  const std::string first = "typed by the peer at a steady pace";
  std::string paste;
  for (int i = 0; paste.size() < 290; ++i) paste += "pasted" + std::to_string(i) + " ";
  paste += "end of paste";
  s.lastLine = "the peer's last line";
  s.input = first + "\n\f\x0E" + paste + "\n\x0F" + s.lastLine + "\n";
  s.expected = first + "\r\n" + paste + "\r\n" + s.lastLine + "\r\n";
  return s;
}

// rttmodem types 20 characters a second: about five seconds of text, the re-INVITE (3 s into the
// call) in its second line; the peer is waited for until it shows the last one.
const std::string kModemTyped =
    "rttmodem here, typing at twenty a second\r\nand a second line while the call is renegotiated\r\nover\r\n";
const std::string kModemLastLine = kLs + "over" + kLs;

// The rules rttmodem itself keeps against another rttmodem (trace_call_test.cpp); the interval is
// judged by when packets left, which a loaded machine delays: printed, not asserted.
void expectOurSideKeepsTheRules(const trace::CallReport& ours, bool reinvite) {
  for (const auto& [id, r] : byRule(ours)) {
    if (id == "timing.interval") {
      if (r.verdict != Verdict::Pass) std::printf("rttmodem's own %s\n", report(r).c_str());
      continue;
    }
    EXPECT_TRUE(r.verdict == Verdict::Pass || r.verdict == Verdict::NotExercised) << "rttmodem's own " << report(r);
  }
  const auto results = byRule(ours);
  for (const char* id : {"red.sent", "red.equal", "stream.single", "stream.bom", "rtp.marker", "rtp.clock", "text.utf8",
                         "text.delivery"})
    EXPECT_EQ(results.at(id).verdict, Verdict::Pass) << "rttmodem's own " << report(results.at(id));
  if (reinvite) {
    EXPECT_EQ(results.at("call.reinvite").verdict, Verdict::Pass) << report(results.at("call.reinvite"));
  }
  EXPECT_EQ(results.at("text.delivery").summary, "both directions");
}

// What is ours about the peer's judgement: every rule judged, and the scenario put to the test the
// rules it was made for (whatever the peer's verdict on them).
const std::vector<const char*> kScenarioRules = {"sdp.answer", "call.reinvite", "red.sent",        "red.equal",
                                                  "stream.single", "stream.bom", "rtp.marker", "rtp.clock",
                                                  "timing.interval", "rate.cps", "text.utf8", "text.delivery"};

void expectThePeerJudgedOnEveryRule(const trace::CallReport& peer, const std::vector<const char*>& exercised) {
  ASSERT_EQ(peer.results.size(), trace::rules().size());
  for (const auto& r : peer.results) {
    ASSERT_NE(r.rule, nullptr);
    EXPECT_FALSE(r.summary.empty()) << r.rule->id;
  }
  const auto results = byRule(peer);
  for (const char* id : exercised) EXPECT_NE(results.at(id).verdict, Verdict::NotExercised) << report(results.at(id));
  EXPECT_EQ(results.at("text.delivery").summary.substr(0, 15), "both directions") << report(results.at("text.delivery"));
}

void printVerdicts(const std::string& role, const trace::CallReport& peer) {
  std::printf("---- liblinphone as %s, judged by rttcheck's rules ----\n%s\n", role.c_str(),
              trace::terminalReport({peer}, false).c_str());
  std::fflush(stdout);
}

#ifdef LINPHONE_PEER
struct Call {
  kit::testing::TempDir dir;
  fs::path traces, peerConfig, textLog;
  Call() : traces(dir.path() / "traces"), peerConfig(dir.path() / "peer"), textLog(dir.path() / "peer-text.log") {
    fs::create_directories(traces);
    fs::create_directories(peerConfig);
  }
  std::vector<std::string> peerArgs(std::vector<std::string> more) const {
    std::vector<std::string> args = {peerConfig.string(), "--library-numbers", "--pace", "10", "--text-log",
                                     textLog.string()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  // The trace with the peer's side in it, judged as it is and turned around.
  void judge(const std::string& role, const std::vector<const char*>& exercised = kScenarioRules,
             bool ourReinvite = true) {
    auto t = finishedTrace(traces);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->call.role, role.starts_with("callee") ? "caller" : "callee");
    const Trace whole = withFarSide(*t, farSide(textLog));
    // RTTMODEM_LINPHONE_TRACES=DIR keeps the judged trace (with the peer's side) for rttcheck.
    if (const char* keep = std::getenv("RTTMODEM_LINPHONE_TRACES"))
      std::ofstream(fs::path(keep) / ("liblinphone-as-" + role + ".rtttrace"), std::ios::binary) << trace::formatTrace(whole);
    const trace::CallReport peer = judged("liblinphone-as-" + role, whole);
    printVerdicts(role, peer);
    expectThePeerJudgedOnEveryRule(peer, exercised);
    expectOurSideKeepsTheRules(judged("rttmodem-against-liblinphone", turnedAround(whole)), ourReinvite);
  }
};
#endif

TEST(LinphoneJudged, AsCalleeWithItsDefaults) {
#ifndef LINPHONE_PEER
  GTEST_SKIP() << "liblinphone-dev was not installed when the build was configured";
#else
  Call call;
  const Script script = peerScript();
  Proc peer(kPeer, call.peerArgs({"--listen"}));
  ASSERT_TRUE(peer.waitErr("peer ready port=")) << peer.err();
  const std::string port = peer.err().substr(peer.err().find("ready port=") + 11);
  peer.write(script.input);  // typed once the call is up
  Proc modem(kBin, {"--dial", "sip:peer@127.0.0.1:" + port.substr(0, port.find('\n')), "--trace-dir",
                    call.traces.string(), "--pace", "20", "--reinvite", "3"});
  modem.write(kModemTyped);
  // Each side's text up to its last line, whole or not: what the peer loses is judged below, from
  // the trace, not here (a line it lost the end of is waited for in vain, and the call goes on).
  peer.waitOut(kModemLastLine, std::chrono::seconds(30));
  modem.waitOut(script.lastLine + "\r\n", std::chrono::seconds(30));
  EXPECT_TRUE(modem.waitErr("re-negotiated ")) << modem.err();
  modem.closeInput();  // rttmodem hangs up
  EXPECT_EQ(modem.wait(), 0) << modem.err();
  EXPECT_EQ(peer.wait(), 0) << peer.err();
  call.judge("callee");
#endif
}

TEST(LinphoneJudged, AsCallerWithItsDefaults) {
#ifndef LINPHONE_PEER
  GTEST_SKIP() << "liblinphone-dev was not installed when the build was configured";
#else
  Call call;
  const Script script = peerScript();
  Proc modem(kBin, {"--listen", "0", "--trace-dir", call.traces.string(), "--pace", "20", "--reinvite", "3"});
  ASSERT_TRUE(modem.waitErr(" ready ")) << modem.err();
  modem.write(kModemTyped);  // typed once the call is up
  Proc peer(kPeer, call.peerArgs({"--call", "sip:rttmodem@127.0.0.1:" + modem.logValue("ready", "sip-port")}));
  peer.write(script.input);
  peer.waitOut(kModemLastLine, std::chrono::seconds(30));
  modem.waitOut(script.lastLine + "\r\n", std::chrono::seconds(30));
  EXPECT_TRUE(modem.waitErr("re-negotiated ")) << modem.err();
  peer.closeInput();  // the peer hangs up
  EXPECT_EQ(peer.wait(), 0) << peer.err();
  EXPECT_EQ(modem.wait(), 0) << modem.err();
  EXPECT_NE(modem.err().find(" ended reason=\"far end hung up\""), std::string::npos) << modem.err();
  call.judge("caller");
#endif
}

// The rules on offers: liblinphone offered a call of text alone, a call whose audio rttmodem puts
// on hold and takes off hold while both sides type, and a call placed with audio alone to which
// rttmodem adds text.
TEST(LinphoneJudged, OfferedTextAloneAudioOnHoldAndTextAdded) {
#ifndef LINPHONE_PEER
  GTEST_SKIP() << "liblinphone-dev was not installed when the build was configured";
#else
  for (const std::string scenario : {"--text-only", "--hold", "--add-text"}) {
    SCOPED_TRACE(scenario);
    Call call;
    const Script script = peerScript();
    Proc peer(kPeer, call.peerArgs({"--listen"}));
    ASSERT_TRUE(peer.waitErr("peer ready port=")) << peer.err();
    const std::string port = peer.err().substr(peer.err().find("ready port=") + 11);
    peer.write(script.input);
    std::vector<std::string> args = {"--dial", "sip:peer@127.0.0.1:" + port.substr(0, port.find('\n')),
                                     "--trace-dir", call.traces.string(), "--pace", "20"};
    if (scenario == "--hold") args.insert(args.end(), {"--hold", "2"});
    if (scenario == "--text-only") args.push_back("--text-only");
    if (scenario == "--add-text") args.insert(args.end(), {"--add-text", "2"});
    Proc modem(kBin, args);
    modem.write(kModemTyped);
    peer.waitOut(kModemLastLine, std::chrono::seconds(30));
    modem.waitOut(script.lastLine + "\r\n", std::chrono::seconds(30));
    if (scenario == "--hold") {
      EXPECT_TRUE(modem.waitErr("re-invite-sent reason=\"--hold resume\"")) << modem.err();
    }
    modem.closeInput();
    modem.wait();  // a refused offer ends the call: the trace says so, and the rule judges it
    peer.wait();
    const char* rule = scenario == "--hold" ? "call.audio-hold" : scenario == "--add-text" ? "sdp.add-text" : "sdp.text-only";
    call.judge("callee " + scenario.substr(2), {rule, "red.sent", "text.delivery"}, false);
  }
#endif
}

}  // namespace
}  // namespace rttmodem::testing
