// SPDX-License-Identifier: Apache-2.0
// The wire trace: what TraceWriter writes reads back as the same events (a property over any
// bytes in any field), the format as a person reads it, RTP and red decoding, and a reader that
// refuses what is malformed with its line and passes over what it may with a warning.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <fstream>
#include <map>
#include <sstream>

#include "property.h"
#include "temp_dir.h"
#include "trace_reader.h"
#include "wire_trace.h"

namespace rttmodem::trace {
namespace {

// ---- a property: written, then read, the same trace -------------------------------------------

rc::Gen<std::int64_t> micros() { return rc::gen::inRange<std::int64_t>(0, 10'000'000'000'000LL); }

rc::Gen<std::string> bytes() {
  // Mostly short; often the characters the format must escape.
  return rc::gen::oneOf(rc::gen::arbitrary<std::string>(),
                        rc::gen::container<std::string>(rc::gen::element<char>(
                            '"', '\\', '\n', '\r', '\t', ' ', '=', '|', '#', 'a', '\x7F', '\x00', '\xEF', '\xBB',
                            '\xBF', '\xE2', '\x80', '\xA8', '\xC3', '\xA9', '\xFF')),
                        rc::gen::element<std::string>("\xEF\xBB\xBF", "\r\n", "v=0\r\nm=text 9 RTP/AVP 98\r\n",
                                                      "a\r\n\r\n", "\r\n\r\n", "\r", "x\r\ny", ""));
}

rc::Gen<Direction> directions() { return rc::gen::element(Direction::In, Direction::Out); }

rc::Gen<Event> sipMessages() {
  return rc::gen::exec([]() -> Event {
    SipMessage m;
    m.us = *micros();
    m.dir = *directions();
    m.cseq = *rc::gen::arbitrary<std::uint32_t>();
    if (*rc::gen::arbitrary<bool>()) {
      m.method = *rc::gen::oneOf(rc::gen::element<std::string>("INVITE", "ACK", "BYE", "UPDATE"),
                                 rc::gen::nonEmpty(bytes()));
    } else {
      m.status = *rc::gen::inRange(100, 700);
      m.reason = *bytes();
      m.cseqMethod = *bytes();
    }
    m.sdp = *rc::gen::element(SdpRole::None, SdpRole::Offer, SdpRole::Answer);
    if (*rc::gen::arbitrary<bool>()) m.body = *bytes();
    return m;
  });
}

rc::Gen<Event> rtpPackets() {
  return rc::gen::exec([]() -> Event {
    RtpPacket p;
    p.us = *micros();
    p.dir = *directions();
    p.ssrc = *rc::gen::arbitrary<std::uint32_t>();
    p.seq = *rc::gen::arbitrary<std::uint16_t>();
    p.ts = *rc::gen::arbitrary<std::uint32_t>();
    p.marker = *rc::gen::arbitrary<bool>();
    p.pt = *rc::gen::inRange(0, 128);
    p.length = *rc::gen::inRange<std::size_t>(0, 70000);
    p.kind = *rc::gen::element(PayloadKind::T140, PayloadKind::Red, PayloadKind::Other, PayloadKind::Bad);
    switch (p.kind) {
      case PayloadKind::Red: {
        const int n = *rc::gen::inRange(0, 6);
        for (int i = 0; i < n; ++i)
          p.generations.push_back({*rc::gen::inRange(0, 128), *rc::gen::inRange(0, 0x4000), *bytes()});
        p.primaryPt = *rc::gen::inRange(0, 128);
        p.text = *bytes();
        break;
      }
      case PayloadKind::T140: p.text = *bytes(); break;
      case PayloadKind::Bad: p.error = *bytes(); [[fallthrough]];
      case PayloadKind::Other: p.raw = *bytes(); break;
    }
    return p;
  });
}

rc::Gen<Event> otherEvents() {
  return rc::gen::exec([]() -> Event {
    switch (*rc::gen::inRange(0, 2)) {
      case 0:
        return TextEvent{*micros(), *rc::gen::element(TextEvent::Kind::Typed, TextEvent::Kind::Shown),
                         *rc::gen::oneOf(rc::gen::element<std::string>("far", "local"), bytes()), *bytes()};
      default:
        return Note{*micros(), *bytes()};
    }
  });
}

TEST(TraceFormat, WhatTheWriterWritesReadsBackTheSame) {
  rc::detail::TestParams params;
  params.seed = 4103;
  params.maxSuccess = 300;
  params.maxSize = 60;
  const auto property = [] {
    Trace t;
    t.call = {*bytes(), *bytes(), *bytes(), *bytes(), *bytes(), *micros()};
    t.events = *rc::gen::container<std::vector<Event>>(rc::gen::oneOf(sipMessages(), rtpPackets(), otherEvents()));
    const End end{*micros(), *bytes()};
    std::ostringstream out;
    TraceWriter writer(out, t.call);
    for (const Event& e : t.events) writer.write(e);
    writer.end(end.us, end.reason);
    writer.write(Note{1, "after the end: not written"});
    t.events.push_back(end);

    const ReadResult read = readTrace(out.str());
    RC_ASSERT(read.error == "");
    RC_ASSERT(read.trace.has_value());
    RC_ASSERT(read.ended);
    RC_ASSERT(read.warnings.empty());
    RC_ASSERT(*read.trace == t);
  };
  EXPECT_TRUE(kit::testing::PropertyHolds("TraceFormat/WhatTheWriterWritesReadsBackTheSame", params, property));
}

// ---- the format as a person reads it ----------------------------------------------------------

TEST(TraceFormat, OneLineAnEventWithTheSessionDescriptionBelowItsMessage) {
  Trace t;
  t.call = {"4", "caller", "sip:lab@192.0.2.1", "sip:far@192.0.2.9", "2025-06-02T09:00:00.000Z", 12'500'000};
  SipMessage answer;
  answer.us = 412'000;
  answer.status = 200;
  answer.reason = "OK";
  answer.cseq = 1;
  answer.cseqMethod = "INVITE";
  answer.sdp = SdpRole::Answer;
  answer.body = "v=0\r\nm=text 50002 RTP/AVP 100 98\r\n";
  RtpPacket red;
  red.us = 1'234'567;
  red.ssrc = 0x5eed0001;
  red.seq = 1003;
  red.ts = 6234;
  red.pt = 100;
  red.length = 12;
  red.kind = PayloadKind::Red;
  red.generations = {{98, 600, "\xEF\xBB\xBF"}, {98, 300, "he"}};
  red.primaryPt = 98;
  red.text = "llo\xE2\x80\xA8";
  RtpPacket odd = red;
  odd.dir = Direction::Out;
  odd.kind = PayloadKind::Bad;
  odd.generations.clear();
  odd.text.clear();
  odd.primaryPt = 0;
  odd.raw = std::string("\x80\x00", 2);
  odd.error = "red payload ends inside its headers";
  t.events = {answer, red, odd, TextEvent{2'000'000, TextEvent::Kind::Shown, "far", "caf\xE9\n"},
              End{3'000'000, "far end hung up"}};
  EXPECT_EQ(formatTrace(t),
            "rtt-trace 1\n"
            "call id=\"4\" role=\"caller\" local=\"sip:lab@192.0.2.1\" peer=\"sip:far@192.0.2.9\" "
            "started=\"2025-06-02T09:00:00.000Z\" origin=12.500000\n"
            "sip 0.412000 in 200 cseq=1 method=INVITE reason=\"OK\" sdp=answer bytes=34\n"
            "| v=0\n"
            "| m=text 50002 RTP/AVP 100 98\n"
            "rtp 1.234567 in ssrc=5eed0001 seq=1003 ts=6234 m=0 pt=100 len=12 red gen=98/600:\"\\u{FEFF}\" "
            "gen=98/300:\"he\" new=98:\"llo\\u{2028}\"\n"
            "rtp 1.234567 out ssrc=5eed0001 seq=1003 ts=6234 m=0 pt=100 len=12 bad raw=8000 "
            "error=\"red payload ends inside its headers\"\n"
            "shown 2.000000 far \"caf\\xE9\\n\"\n"
            "end 3.000000 reason=\"far end hung up\"\n");
}

TEST(TraceFormat, AMessageBodyKeepsItsExactBytes) {
  // Line ends other than CR LF, a body without a last line end, empty lines: all come back.
  for (const std::string body : {"", "\r\n", "v=0", "v=0\r\n", "v=0\nm=text 1 RTP/AVP 98\n", "a\r\n\r\nb\r\n\r\n",
                                 "\r\r\n", "x\"y\\z"}) {
    SipMessage m;
    m.method = "INVITE";
    m.body = body;
    Trace t;
    t.events = {m};
    const ReadResult read = readTrace(formatTrace(t));
    ASSERT_TRUE(read.trace) << read.error;
    EXPECT_EQ(std::get<SipMessage>(read.trace->events.at(0)).body, body) << quote(body);
  }
}

// ---- decoding RTP ------------------------------------------------------------------------------

std::string rtpHeader(int pt, bool marker, std::uint16_t seq, std::uint32_t ts, std::uint32_t ssrc, int csrcs = 0,
                      bool extension = false, bool padding = false) {
  std::string h;
  h += static_cast<char>(0x80 | (padding ? 0x20 : 0) | (extension ? 0x10 : 0) | csrcs);
  h += static_cast<char>((marker ? 0x80 : 0) | pt);
  h += static_cast<char>(seq >> 8);
  h += static_cast<char>(seq & 0xFF);
  for (int shift = 24; shift >= 0; shift -= 8) h += static_cast<char>((ts >> shift) & 0xFF);
  for (int shift = 24; shift >= 0; shift -= 8) h += static_cast<char>((ssrc >> shift) & 0xFF);
  for (int i = 0; i < csrcs; ++i) h += std::string(4, '\x11');
  return h;
}

TEST(DecodeRtp, TakesOffCsrcsExtensionAndPaddingAndSplitsRed) {
  // Two redundant blocks (offsets 600 and 300, two and zero bytes), then the primary "xyz".
  const std::string red = std::string("\xE2\x09\x60\x02\xE2\x04\xB0\x00\x62", 9) + "ab" + "xyz";
  std::string d = rtpHeader(100, true, 0xFFFE, 0xDEADBEEF, 0x01020304, 2, true, true);
  d += std::string("\xBE\xDE\x00\x01", 4) + "EXTN";  // one word of extension
  d += red + std::string("\x00\x00\x03", 3);         // three bytes of padding
  std::string error;
  auto p = decodeRtp(d, 98, 100, 5, Direction::In, &error);
  ASSERT_TRUE(p) << error;
  EXPECT_TRUE(p->marker);
  EXPECT_EQ(p->seq, 0xFFFE);
  EXPECT_EQ(p->ts, 0xDEADBEEFu);
  EXPECT_EQ(p->ssrc, 0x01020304u);
  EXPECT_EQ(p->length, red.size());
  ASSERT_EQ(p->kind, PayloadKind::Red);
  ASSERT_EQ(p->generations.size(), 2u);
  EXPECT_EQ(p->generations[0], (Generation{98, 600, "ab"}));
  EXPECT_EQ(p->generations[1], (Generation{98, 300, ""}));
  EXPECT_EQ(p->primaryPt, 98);
  EXPECT_EQ(p->text, "xyz");

  // Plain T.140, and a type that is neither: kept as bytes.
  p = decodeRtp(rtpHeader(98, false, 1, 2, 3) + "hi", 98, 100, 0, Direction::Out, &error);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, PayloadKind::T140);
  EXPECT_EQ(p->text, "hi");
  p = decodeRtp(rtpHeader(13, false, 1, 2, 3) + "\x01\x02", 98, 100, 0, Direction::In, &error);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, PayloadKind::Other);
  EXPECT_EQ(p->raw, "\x01\x02");
}

TEST(DecodeRtp, AMalformedRedPayloadIsKeptWithWhyAndWhatIsNotRtpIsRefused) {
  std::string error;
  // A block claiming 200 bytes in a payload of a few.
  auto p = decodeRtp(rtpHeader(100, false, 1, 2, 3) + std::string("\xE2\x00\x00\xC8\x62", 5) + "ab", 98, 100, 0,
                     Direction::In, &error);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, PayloadKind::Bad);
  EXPECT_NE(p->error.find("longer than the payload"), std::string::npos);
  EXPECT_EQ(p->raw.size(), 7u);
  p = decodeRtp(rtpHeader(100, false, 1, 2, 3) + "\x80\x00", 98, 100, 0, Direction::In, &error);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, PayloadKind::Bad);
  EXPECT_NE(p->error.find("headers"), std::string::npos);

  EXPECT_FALSE(decodeRtp("\x80\x62\x00", 98, 100, 0, Direction::In, &error));
  EXPECT_FALSE(decodeRtp(std::string(12, '\x40'), 98, 100, 0, Direction::In, &error));  // version 1
  EXPECT_NE(error.find("version"), std::string::npos);
  EXPECT_FALSE(decodeRtp(rtpHeader(98, false, 1, 2, 3).replace(0, 1, "\x8F"), 98, 100, 0, Direction::In, &error));
  EXPECT_NE(error.find("CSRC"), std::string::npos);
  std::string padded = rtpHeader(98, false, 1, 2, 3, 0, false, true) + "ab" + "\x09";
  EXPECT_FALSE(decodeRtp(padded, 98, 100, 0, Direction::In, &error));
  EXPECT_NE(error.find("padding"), std::string::npos);
  std::string extended = rtpHeader(98, false, 1, 2, 3, 0, true) + std::string("\xBE\xDE\x00\x09", 4);
  EXPECT_FALSE(decodeRtp(extended, 98, 100, 0, Direction::In, &error));
  EXPECT_NE(error.find("extension"), std::string::npos);
}

// ---- reading what comes from outside -----------------------------------------------------------

const std::string kHead = "rtt-trace 1\ncall id=\"1\" role=\"caller\" local=\"\" peer=\"\" started=\"\" origin=0.000000\n";

TEST(TraceReader, RefusesAMalformedTraceNamingTheLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty"},
      {"rtt-trace\n", "not an RTT wire trace"},
      {"RTT trace 1\n", "not an RTT wire trace"},
      {"rtt-trace 2\n", "version 2 is newer"},
      {kHead + "rtp 1.0 in ssrc=1 seq=70000 ts=1 m=0 pt=98 len=0 t140 new=\"\"\n", "line 3: seq=70000"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=2 pt=98 len=0 t140 new=\"\"\n", "line 3: m=2"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"open\n", "line 3: a quoted text has no closing"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"\\q\"\n", "unknown escape"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"\\u{D800}\"\n", "holds no character"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 red gen=98:\"a\" new=98:\"\"\n", "gen=98:"},
      {kHead + "rtp 1.0 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140\n", "new= text is missing"},
      {kHead + "rtp 1.0 sideways ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"\"\n", "no direction"},
      {kHead + "rtp x in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"\"\n", "no time"},
      {kHead + "rtp 1.1234567 in ssrc=1 seq=1 ts=1 m=0 pt=98 len=0 t140 new=\"\"\n", "no time"},
      {kHead + "sip 1.0 in 200 cseq=1 method=INVITE seq=1 seq=2\n", "given twice"},
      {kHead + "sip 1.0 out INVITE cseq=1 bytes=10\n| v=0\nend 2.0 reason=\"\"\n",
       "line 3: the message body holds 3 bytes, not the 10"},
      {kHead + "| v=0\n", "line 3: a body line belongs to no message"},
      {kHead + "end 1.0 reason=\"\"\nnote 2.0 \"late\"\n", "line 4: an event after the trace's end"},
      {kHead + "call id=\"2\"\n", "a second call line"},
  };
  for (const auto& [text, why] : cases) {
    const ReadResult r = readTrace(text);
    EXPECT_FALSE(r.trace) << text;
    EXPECT_NE(r.error.find(why), std::string::npos) << "error [" << r.error << "] for:\n" << text;
  }
}

TEST(TraceReader, PassesOverWhatItMayWithAWarning) {
  // A call cut short: no end line, the last line cut in the middle, inside a message's body.
  ReadResult r = readTrace(kHead + "sip 1.0 out INVITE cseq=1 bytes=20\n| v=0\n| m=te");
  ASSERT_TRUE(r.trace) << r.error;
  EXPECT_FALSE(r.ended);
  EXPECT_TRUE(r.trace->events.empty());
  ASSERT_EQ(r.warnings.size(), 3u);
  EXPECT_NE(r.warnings[0].find("line 5 is cut short"), std::string::npos);
  EXPECT_NE(r.warnings[1].find("inside a message body"), std::string::npos);
  EXPECT_NE(r.warnings[2].find("no end line"), std::string::npos);

  // An event kind of a later version, comments, blank lines, CR LF line ends: read.
  r = readTrace("rtt-trace 1\r\n# made by hand\r\n\r\ncall id=\"1\"\r\nhologram 1.0 \"x\"\r\nnote 1.5 \"n\"\r\n"
                "end 2.0 reason=\"done\"\r\n");
  ASSERT_TRUE(r.trace) << r.error;
  EXPECT_TRUE(r.ended);
  ASSERT_EQ(r.trace->events.size(), 2u);
  EXPECT_EQ(std::get<Note>(r.trace->events[0]), (Note{1'500'000, "n"}));
  EXPECT_EQ(r.trace->lines, (std::vector<int>{6, 7}));
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("line 5: unknown event 'hologram'"), std::string::npos);
}

TEST(TraceFile, IsWrittenAsPartAndGetsItsNameWhenTheCallEnds) {
  kit::testing::TempDir dir;
  std::string error;
  auto file = TraceFile::open(dir.path(), "call-1.rtttrace", {"1", "callee", "", "", "", 0}, &error);
  ASSERT_TRUE(file) << error;
  file->write(Note{file->now(), "ringing"});
  // While the call goes on, what was written is there to read (a crash keeps it).
  ReadResult r = readTraceFile(dir.path() / "call-1.rtttrace.part");
  ASSERT_TRUE(r.trace) << r.error;
  EXPECT_FALSE(r.ended);
  EXPECT_EQ(r.trace->events.size(), 1u);
  EXPECT_GT(r.trace->call.originUs, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "call-1.rtttrace"));
  ASSERT_TRUE(file->finish("far end hung up", &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "call-1.rtttrace.part"));
  r = readTraceFile(dir.path() / "call-1.rtttrace");
  ASSERT_TRUE(r.trace) << r.error;
  EXPECT_TRUE(r.ended);
  EXPECT_EQ(std::get<End>(r.trace->events.back()).reason, "far end hung up");

  // A trace dropped without finish() is ended all the same.
  TraceFile::open(dir.path(), "call-2.rtttrace", {}, &error).reset();
  r = readTraceFile(dir.path() / "call-2.rtttrace");
  ASSERT_TRUE(r.trace) << r.error;
  EXPECT_EQ(std::get<End>(r.trace->events.back()).reason, "trace closed");

  EXPECT_FALSE(TraceFile::open(dir.path() / "missing", "x.rtttrace", {}, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos);
  EXPECT_EQ(traceFileName(std::chrono::system_clock::time_point(std::chrono::seconds(1748854800)), 3),
            "call-20250602-090000-3.rtttrace");
}

// Two programs tracing into one folder (a gateway and the phone it calls, started in the same
// second) name their first calls alike: each trace keeps a file of its own, and a finished trace
// is never replaced.
TEST(TraceFile, TracesOfTheSameNameKeepFilesOfTheirOwn) {
  kit::testing::TempDir dir;
  std::string error;
  auto a = TraceFile::open(dir.path(), "call-1.rtttrace", {"1", "caller", "", "", "", 0}, &error);
  auto b = TraceFile::open(dir.path(), "call-1.rtttrace", {"1", "callee", "", "", "", 0}, &error);
  ASSERT_TRUE(a && b) << error;
  a->write(Note{a->now(), "from a"});
  b->write(Note{b->now(), "from b"});
  ASSERT_TRUE(b->finish("b ends", &error)) << error;
  // A third call of the name starts while a is still going on, and ends after it.
  auto c = TraceFile::open(dir.path(), "call-1.rtttrace", {"1", "caller", "", "", "", 0}, &error);
  ASSERT_TRUE(c) << error;
  ASSERT_TRUE(a->finish("a ends", &error)) << error;
  ASSERT_TRUE(c->finish("c ends", &error)) << error;

  std::map<std::string, std::string> ends;  // file name -> the reason of its end line
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const ReadResult r = readTraceFile(entry.path());
    ASSERT_TRUE(r.trace && r.ended) << entry.path() << ": " << r.error;
    ends[entry.path().filename().string()] = std::get<End>(r.trace->events.back()).reason;
  }
  EXPECT_EQ(ends, (std::map<std::string, std::string>{
                      {"call-1.rtttrace", "a ends"}, {"call-1-2.rtttrace", "b ends"}, {"call-1-3.rtttrace", "c ends"}}));
  EXPECT_EQ(a->path().filename(), "call-1.rtttrace");
  EXPECT_EQ(c->path().filename(), "call-1-3.rtttrace");

  // A trace of the name finished after this one began (the name was free when it began).
  kit::testing::TempDir other;
  auto d = TraceFile::open(other.path(), "call-9.rtttrace", {}, &error);
  ASSERT_TRUE(d) << error;
  std::filesystem::copy_file(dir.path() / "call-1.rtttrace", other.path() / "call-9.rtttrace");
  ASSERT_TRUE(d->finish("d ends", &error)) << error;
  EXPECT_EQ(d->path().filename(), "call-9-2.rtttrace");
  EXPECT_EQ(std::get<End>(readTraceFile(other.path() / "call-9.rtttrace").trace->events.back()).reason, "a ends");
}

}  // namespace
}  // namespace rttmodem::trace
