// The simulated CPU on its own, for what the library's end-to-end tests
// cannot see: the layout of its answers, its error codes for refused items
// and for malformed or garbled requests, its PDU-size refusals and the
// block-information answer. Requests are built byte by byte as the library
// sends them.
#include "plc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using s7sim::Area;
using s7sim::Plc;
using s7test::hex;

// Bytes from a list of values 0..255.
Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
  return out;
}

Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Header of a job (Code 0x01) with reference 02 00 as the library sends it.
Bytes job_head(int par_len, int dat_len) {
  return B({0x32, 0x01, 0x00, 0x00, 0x02, 0x00, par_len >> 8, par_len & 0xFF, dat_len >> 8,
            dat_len & 0xFF});
}

// One any-pointer item: 12 0A 10 ts count db area addr.
Bytes item(int ts, int count, int db, int area, uint32_t addr) {
  return B({0x12, 0x0A, 0x10, ts, count >> 8, count & 0xFF, db >> 8, db & 0xFF, area,
            static_cast<int>(addr >> 16 & 0xFF), static_cast<int>(addr >> 8 & 0xFF),
            static_cast<int>(addr & 0xFF)});
}

Bytes read_req(int ts, int count, int db, int area, uint32_t addr) {
  return cat(cat(job_head(14, 0), B({0x04, 0x01})), item(ts, count, db, area, addr));
}

Bytes write_req(int ts, int count, int db, int area, uint32_t addr, int data_ts, int data_len,
                const Bytes &payload) {
  const Bytes data = cat(B({0x00, data_ts, data_len >> 8, data_len & 0xFF}), payload);
  const int dat_len = static_cast<int>(data.size());
  return cat(cat(cat(job_head(14, dat_len), B({0x05, 0x01})), item(ts, count, db, area, addr)),
             data);
}

Bytes block_info_req(const char digits[6]) {
  Bytes req = B({0x32, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x08, 0x00, 0x0C,  //
                 0x00, 0x01, 0x12, 0x04, 0x11, 0x43, 0x03, 0x00,              //
                 0xFF, 0x09, 0x00, 0x08, '0',  'A'});
  for (int i = 0; i < 5; ++i) req.push_back(static_cast<uint8_t>(digits[i]));
  req.push_back('B');
  return req;
}

// An answer taken apart, with its lengths checked against its size.
struct Answer {
  uint8_t code = 0;
  uint16_t ref = 0;
  uint8_t err_class = 0, err_code = 0;
  Bytes par, dat;
};

Answer parse(const Bytes &a) {
  Answer out;
  EXPECT_GE(a.size(), 10u) << hex(a);
  if (a.size() < 10) return out;
  EXPECT_EQ(a[0], 0x32);
  out.code = a[1];
  out.ref = static_cast<uint16_t>(a[4] << 8 | a[5]);
  const size_t par_len = static_cast<size_t>(a[6] << 8 | a[7]);
  const size_t dat_len = static_cast<size_t>(a[8] << 8 | a[9]);
  size_t pos = 10;
  if (out.code == 0x03) {
    EXPECT_GE(a.size(), 12u) << hex(a);
    if (a.size() < 12) return out;
    out.err_class = a[10];
    out.err_code = a[11];
    pos = 12;
  }
  EXPECT_EQ(a.size(), pos + par_len + dat_len) << hex(a);
  if (a.size() != pos + par_len + dat_len) return out;
  out.par.assign(a.begin() + static_cast<long>(pos), a.begin() + static_cast<long>(pos + par_len));
  out.dat.assign(a.begin() + static_cast<long>(pos + par_len), a.end());
  return out;
}

// The answer is a refusal of the whole job with the given error class.
void expect_refused(const Bytes &a, uint8_t err_class) {
  const Answer ans = parse(a);
  EXPECT_EQ(ans.code, 0x03) << hex(a);
  EXPECT_EQ(ans.err_class, err_class) << hex(a);
  EXPECT_TRUE(ans.par.empty()) << hex(a);
  EXPECT_TRUE(ans.dat.empty()) << hex(a);
}

// The return code of a read or write answer (and for reads: the item head is
// empty on an error).
uint8_t item_rc(const Bytes &a) {
  const Answer ans = parse(a);
  EXPECT_EQ(ans.code, 0x03) << hex(a);
  EXPECT_EQ(ans.err_class, 0x00) << hex(a);
  if (ans.dat.empty()) return 0;
  if (ans.dat[0] != s7sim::kRcOk && ans.par.size() == 2 && ans.par[0] == 0x04) {
    EXPECT_EQ(ans.dat, B({ans.dat[0], 0x00, 0x00, 0x00})) << hex(a);
  }
  return ans.dat[0];
}

// ------------------------------------------------------------ answer layout

TEST(PlcAnswers, LayoutOfSetupReadAndWriteAnswers) {
  Plc plc;
  // the setup job (the library's block-number reset): 240 offered
  EXPECT_EQ(plc.handle(cat(job_head(8, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01, 0xE0}))),
            B({0x32, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x08, 0x00, 0x00,
               0x00, 0x00, 0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0xF0}));
  EXPECT_EQ(plc.pdu_size(), 240);
  // three words of DB 10 from word 5: the read answer in full
  plc.add_db(10, 64);
  plc.write_bytes(Area::DB, 10, 8, B({0xEE, 0xEE, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDD}));
  EXPECT_EQ(plc.handle(read_req(0x02, 6, 10, 0x84, 0x50)),
            B({0x32, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00,
               0x04, 0x01, 0xFF, 0x04, 0x00, 0x30, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  // two flag words from word 10: the write answer in full, bytes 20 and 21 written
  EXPECT_EQ(plc.handle(write_req(0x02, 4, 0, 0x83, 0xA0, 0x04, 0x20, B({1, 2, 0x0A, 0x0B}))),
            B({0x32, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x05, 0x01,
               0xFF}));
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 19, 6), B({0x00, 0x01, 0x02, 0x0A, 0x0B, 0x00}));
  const auto jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[1].write, true);
  EXPECT_EQ(jobs[1].address, 0xA0u);
  EXPECT_EQ(jobs[1].count, 4);

  // the data item as real CPUs send it: bytes with the length in bits, bits
  // as transport size 3, timers and counters as 9 with the length in bytes;
  // the reference echoed
  plc.write_bytes(Area::Inputs, 0, 1023, B({0x11}));
  plc.write_bytes(Area::Flags, 0, 3, B({0x20}));
  plc.set_timer(10, 0x2127);
  plc.set_timer(11, 0x0999);
  plc.set_counter(255, 0x0999);
  plc.set_cpu_text("CPU 214");  // padded with blanks
  const struct {
    Bytes req;
    Bytes dat;
  } cases[] = {
      {read_req(0x02, 1, 0, 0x81, 1023 * 8), B({0xFF, 0x04, 0x00, 0x08, 0x11})},
      {read_req(0x02, 1, 7, 0x83, 3 * 8), B({0xFF, 0x04, 0x00, 0x08, 0x20})},  // DB number ignored
      {read_req(0x01, 1, 0, 0x83, 3 * 8 + 5), B({0xFF, 0x03, 0x00, 0x01, 0x01})},
      {read_req(0x01, 1, 0, 0x83, 3 * 8 + 4), B({0xFF, 0x03, 0x00, 0x01, 0x00})},
      {read_req(0x1D, 2, 0, 0x1D, 10), B({0xFF, 0x09, 0x00, 0x04, 0x21, 0x27, 0x09, 0x99})},
      {read_req(0x1C, 1, 0, 0x1C, 255), B({0xFF, 0x09, 0x00, 0x02, 0x09, 0x99})},
      {read_req(0x02, 16, 0, 0x03, 0),
       cat(B({0xFF, 0x04, 0x00, 0x80}),
           Bytes{'C', 'P', 'U', ' ', '2', '1', '4', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '})},
  };
  for (const auto &c : cases) {
    Bytes req = c.req;
    req[4] = 0xAB;
    req[5] = 0xCD;
    const Answer ans = parse(plc.handle(req));
    EXPECT_EQ(ans.ref, 0xABCD);
    EXPECT_EQ(ans.par, B({0x04, 0x01}));
    EXPECT_EQ(hex(ans.dat), hex(c.dat)) << hex(req);
  }
  plc.set_cpu_text("0123456789ABCDEFGHIJ");  // cut to 16
  EXPECT_EQ(plc.read_bytes(Area::System, 0, 15, 1), B({'F'}));
}

// ------------------------------------------------------------ refused items

TEST(PlcItems, RefusedItemsCarryTheirReturnCode) {
  Plc plc;
  plc.add_db(5, 20);
  plc.add_db(1, 4);
  plc.write_bytes(Area::DB, 1, 0, B({1, 2, 3, 4}));
  plc.add_db(3, 4);
  plc.remove_db(3);
  const uint8_t kOk = s7sim::kRcOk, kNo = s7sim::kRcNoObject, kAdr = s7sim::kRcAddress,
                kType = s7sim::kRcTypeUnsupported, kData = s7sim::kRcDataMismatch;
  const struct {
    Bytes req;
    uint8_t rc;
  } cases[] = {
      // missing DBs: never added, DB 0, removed
      {read_req(0x02, 2, 6, 0x84, 0), kNo},
      {read_req(0x02, 2, 0, 0x84, 0), kNo},
      {read_req(0x02, 2, 3, 0x84, 0), kNo},
      // the last two bytes of DB 5 are fine, one further is not, nor a start past the end
      {read_req(0x02, 2, 5, 0x84, 18 * 8), kOk},
      {read_req(0x02, 3, 5, 0x84, 18 * 8), kAdr},
      {read_req(0x02, 1, 5, 0x84, 0xFFFFFF), kAdr},
      {read_req(0x01, 1, 5, 0x84, 20 * 8), kAdr},
      {read_req(0x02, 1, 0, 0x83, 1024 * 8), kAdr},
      // timers 254 and 255 exist, 256 does not
      {read_req(0x1D, 2, 0, 0x1D, 254), kOk},
      {read_req(0x1D, 3, 0, 0x1D, 254), kAdr},
      {read_req(0x1C, 1, 0, 0x1C, 256), kAdr},
      // count 0, a bit item with count 2, an unknown area
      {read_req(0x02, 0, 0, 0x83, 0), kAdr},
      {read_req(0x01, 2, 0, 0x83, 0), kAdr},
      {read_req(0x02, 1, 0, 0x99, 0), kAdr},
      // transport sizes that do not fit the area
      {read_req(0x02, 1, 0, 0x1D, 0), kType},
      {read_req(0x1D, 1, 0, 0x1C, 0), kType},
      {read_req(0x1C, 1, 0, 0x83, 0), kType},
      {read_req(0x06, 1, 0, 0x83, 0), kType},
      // the identification text: 16 bytes, never written
      {read_req(0x02, 17, 0, 0x03, 0), kAdr},
      {write_req(0x02, 1, 0, 0x03, 0, 0x04, 8, B({'X'})), s7sim::kRcAccessDenied},
      // writes: missing DB, past the end, a data item that does not match
      // (transport size, length, byte count), a bad timer
      {write_req(0x02, 2, 9, 0x84, 0, 0x04, 16, B({9, 9})), kNo},
      {write_req(0x02, 2, 1, 0x84, 3 * 8, 0x04, 16, B({9, 9})), kAdr},
      {write_req(0x02, 2, 1, 0x84, 0, 0x09, 2, B({9, 9})), kData},
      {write_req(0x02, 2, 1, 0x84, 0, 0x04, 8, B({9, 9})), kData},
      {write_req(0x02, 2, 1, 0x84, 0, 0x04, 16, B({9})), kData},
      {write_req(0x02, 2, 1, 0x84, 0, 0x04, 16, B({9, 9, 9})), kData},
      {write_req(0x01, 1, 1, 0x84, 0, 0x04, 8, B({0})), kData},
      {write_req(0x1D, 1, 0, 0x1D, 0, 0x09, 1, B({0x12})), kData},
      {write_req(0x02, 2, 9, 0x84, 0, 0x09, 2, B({9, 9})), kData},  // outranks a missing DB
      {write_req(0x1D, 1, 0, 0x1D, 256, 0x09, 2, B({0x12, 0x34})), kAdr},
      {write_req(0x07, 1, 1, 0x84, 0, 0x04, 8, B({9})), kType},
  };
  for (const auto &c : cases) EXPECT_EQ(item_rc(plc.handle(c.req)), c.rc) << hex(c.req);
  // every item recorded with its code; refusals leave memory alone
  const auto jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), std::size(cases));
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].return_code, cases[i].rc) << i;
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 0, 4), B({1, 2, 3, 4}));
  EXPECT_EQ(plc.read_bytes(Area::System, 0, 0, 1), B({'C'}));
  EXPECT_EQ(plc.timer(0), 0);
}

// ------------------------------------------------------------ block information

TEST(PlcBlockInfo, HeadCarriesTheLengthAndMissingBlocksAreRefused) {
  Plc plc;
  plc.add_db(17, 300);
  const Bytes a = plc.handle(block_info_req("00017"));
  ASSERT_EQ(a.size(), 104u) << hex(a);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 10),
            B({0x32, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0C, 0x00, 0x52}));
  Answer ans = parse(a);
  EXPECT_EQ(ans.par, B({0x00, 0x01, 0x12, 0x08, 0x12, 0x83, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00}));
  ASSERT_EQ(ans.dat.size(), 82u);
  EXPECT_EQ(Bytes(ans.dat.begin(), ans.dat.begin() + 4), B({0xFF, 0x09, 0x00, 0x4E}));
  const Bytes head(ans.dat.begin() + 4, ans.dat.end());
  EXPECT_EQ(head[11], 0x0A);                 // block kind
  EXPECT_EQ(head[12] << 8 | head[13], 17);   // block number
  EXPECT_EQ(head[40] << 8 | head[41], 300);  // MCLen
  EXPECT_GT(head[16] << 8 | head[17], 300);  // load length covers the data
  EXPECT_TRUE(plc.jobs().empty());

  // the largest block and an empty one
  plc.add_db(65535, 65535);
  plc.add_db(1, 0);
  ans = parse(plc.handle(block_info_req("65535")));
  ASSERT_EQ(ans.dat.size(), 82u);
  EXPECT_EQ(ans.dat[4 + 40] << 8 | ans.dat[4 + 41], 0xFFFF);
  EXPECT_EQ(ans.dat[4 + 16] << 8 | ans.dat[4 + 17], 0xFFFF);
  ans = parse(plc.handle(block_info_req("00001")));
  ASSERT_EQ(ans.dat.size(), 82u);
  EXPECT_EQ(ans.dat[4 + 40] << 8 | ans.dat[4 + 41], 0);

  // a missing DB, a number above 65535, non-digits, another block kind
  Bytes other_kind = block_info_req("00001");
  other_kind[23] = '8';
  for (const Bytes &req :
       {block_info_req("00002"), block_info_req("99999"), block_info_req("0001x"), other_kind}) {
    ans = parse(plc.handle(req));
    EXPECT_EQ(ans.code, 0x07) << hex(req);
    EXPECT_EQ(ans.par, B({0x00, 0x01, 0x12, 0x08, 0x12, 0x83, 0x03, 0x01, 0x00, 0x00, 0xD2, 0x09}));
    EXPECT_EQ(ans.dat, B({0x0A, 0x00, 0x00, 0x00})) << hex(req);
  }
  // another userdata function is not supported; a broken data item is malformed
  Bytes other_fn = block_info_req("00001"), bad_item = block_info_req("00001");
  other_fn[16] = 0x01;
  bad_item[21] = 0x07;
  expect_refused(plc.handle(other_fn), s7sim::kErrClassService);
  expect_refused(plc.handle(bad_item), s7sim::kErrClassSyntax);
}

// ------------------------------------------------------------ PDU size

TEST(PlcPduSize, NegotiatedAndEnforced) {
  Plc plc;
  plc.add_db(1, 1000);
  // 222 bytes read: an answer of exactly 240 bytes; 223 bytes or 112 timers
  // would not fit: refused, not recorded
  Bytes a = plc.handle(read_req(0x02, 222, 1, 0x84, 0));
  EXPECT_EQ(a.size(), 240u);
  EXPECT_EQ(item_rc(a), 0xFF);
  expect_refused(plc.handle(read_req(0x02, 223, 1, 0x84, 0)), s7sim::kErrClassPdu);
  expect_refused(plc.handle(read_req(0x1D, 112, 0, 0x1D, 0)), s7sim::kErrClassPdu);
  EXPECT_EQ(item_rc(plc.handle(read_req(0x1D, 111, 0, 0x1D, 0))), 0xFF);
  EXPECT_EQ(plc.jobs().size(), 2u);
  // 212 bytes written: a request of exactly 240 bytes; 213 is refused untouched
  const Bytes ones(213, 0x11);
  Bytes req = write_req(0x02, 212, 1, 0x84, 0, 0x04, 212 * 8, Bytes(ones.begin(), ones.end() - 1));
  EXPECT_EQ(req.size(), 240u);
  EXPECT_EQ(item_rc(plc.handle(req)), 0xFF);
  req = write_req(0x02, 213, 1, 0x84, 8 * 300, 0x04, 213 * 8, ones);
  expect_refused(plc.handle(req), s7sim::kErrClassPdu);
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 300, 1), B({0x00}));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 211, 2), B({0x11, 0x00}));

  // a CPU offering 480: asked for 480 it gives 480, asked for 128 it lowers
  // the size in force; 110 data bytes fit 128 (12 + 2 + 4 + 110), 111 do not
  plc.set_pdu_size(480);
  expect_refused(plc.handle(read_req(0x02, 463, 0, 0x83, 0)), s7sim::kErrClassPdu);
  EXPECT_EQ(item_rc(plc.handle(read_req(0x02, 462, 0, 0x83, 0))), 0xFF);
  a = plc.handle(cat(job_head(8, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0xE0})));
  EXPECT_EQ(parse(a).par, B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0xE0}));
  a = plc.handle(cat(job_head(8, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80})));
  EXPECT_EQ(parse(a).par, B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80}));
  EXPECT_EQ(plc.pdu_size(), 128);
  EXPECT_EQ(item_rc(plc.handle(read_req(0x02, 110, 0, 0x83, 0))), 0xFF);
  expect_refused(plc.handle(read_req(0x02, 111, 0, 0x83, 0)), s7sim::kErrClassPdu);
  // a setup that asks for nothing usable, or is cut short, is refused
  expect_refused(
      plc.handle(cat(job_head(8, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}))),
      s7sim::kErrClassSyntax);
  expect_refused(plc.handle(cat(job_head(6, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x01}))),
                 s7sim::kErrClassSyntax);
  EXPECT_EQ(plc.pdu_size(), 128);
  // the 104-byte block head does not fit 64 bytes; the configurable range
  plc.set_pdu_size(64);
  expect_refused(plc.handle(block_info_req("00001")), s7sim::kErrClassPdu);
  EXPECT_THROW(plc.set_pdu_size(63), std::invalid_argument);
  EXPECT_THROW(plc.set_pdu_size(8193), std::invalid_argument);
  EXPECT_EQ(plc.pdu_size(), 64);
}

// ------------------------------------------------------------ untrusted input

TEST(PlcMalformed, BrokenHeadersAndParameters) {
  Plc plc;
  const Bytes good = read_req(0x02, 1, 0, 0x83, 0);
  const uint8_t kSyntax = s7sim::kErrClassSyntax, kService = s7sim::kErrClassService;
  const struct {
    const char *what;
    size_t at;  // the byte changed in a good read request
    uint8_t value;
    uint8_t err_class;
  } changed[] = {
      {"not an S7 PDU", 0, 0x33, kSyntax},
      {"lengths do not add up", 7, 13, kSyntax},
      {"an answer sent to the CPU", 1, 0x03, kService},
      {"unknown function", 10, 0x1A, kService},
      {"two items", 11, 0x02, kSyntax},
      {"no item", 11, 0x00, kSyntax},
      {"not an any-pointer", 12, 0xB0, kSyntax},
  };
  for (const auto &c : changed) {
    Bytes r = good;
    r[c.at] = c.value;
    expect_refused(plc.handle(r), c.err_class);
  }
  // one byte too many, a read carrying data, a write without its data item
  // head, a job without parameters
  expect_refused(plc.handle(cat(good, B({0}))), kSyntax);
  expect_refused(
      plc.handle(cat(job_head(14, 1), cat(Bytes(good.begin() + 10, good.end()), B({0})))), kSyntax);
  expect_refused(plc.handle(cat(job_head(14, 3), cat(B({0x05, 0x01}), cat(item(0x02, 1, 0, 0x83, 0),
                                                                          B({0, 4, 0}))))),
                 kSyntax);
  expect_refused(plc.handle(job_head(0, 0)), kSyntax);
  EXPECT_TRUE(plc.jobs().empty());
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 0, 1), B({0x00}));
}

TEST(PlcMalformed, EveryShortOrGarbledInputGetsAnErrorAnswer) {
  Plc plc;
  plc.add_db(17, 32);
  const Bytes write = write_req(0x02, 2, 17, 0x84, 0, 0x04, 16, B({0x5A, 0x5A}));
  const Bytes samples[] = {
      read_req(0x02, 4, 17, 0x84, 0), write, block_info_req("00017"),
      cat(job_head(8, 0), B({0xF0, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01, 0xE0}))};
  // Every cut-short prefix, 0..40 bytes, of each kind of request.
  for (const Bytes &s : samples) {
    for (size_t n = 0; n <= 40 && n < s.size(); ++n) {
      const Bytes cut(s.begin(), s.begin() + static_cast<long>(n));
      const Bytes a = plc.handle(cut);
      const Answer ans = parse(a);
      EXPECT_EQ(ans.code, 0x03) << "request " << hex(cut) << " answer " << hex(a);
      EXPECT_NE(ans.err_class, 0) << "request " << hex(cut) << " answer " << hex(a);
    }
  }
  EXPECT_TRUE(plc.jobs().empty());
  EXPECT_EQ(plc.read_bytes(Area::DB, 17, 0, 2), B({0x00, 0x00}));

  // Random bytes of every length 0..40: raw, and behind a consistent job or
  // userdata head. Whatever comes back is a well-formed PDU with the reference echoed.
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 20; ++round) {
    for (size_t n = 0; n <= 40; ++n) {
      Bytes raw(n);
      for (auto &b : raw) b = static_cast<uint8_t>(byte(rng));
      Bytes a = plc.handle(raw);
      EXPECT_GE(a.size(), 12u);
      if (raw.empty() || raw[0] != 0x32) {
        const Answer ans = parse(a);
        EXPECT_EQ(ans.code, 0x03) << hex(raw);
        EXPECT_NE(ans.err_class, 0) << hex(raw);
      }
      if (n >= 10) {
        // Consistent head, random parameters and data.
        raw[0] = 0x32;
        raw[1] = round % 2 ? 0x01 : 0x07;
        const size_t par_len = static_cast<size_t>(byte(rng)) % (n - 9);
        raw[6] = 0;
        raw[7] = static_cast<uint8_t>(par_len);
        raw[8] = 0;
        raw[9] = static_cast<uint8_t>(n - 10 - par_len);
        a = plc.handle(raw);
        const Answer ans = parse(a);
        EXPECT_EQ(ans.ref, raw[4] << 8 | raw[5]) << hex(raw);
      }
    }
  }
}

// ------------------------------------------------------------ memory helpers

TEST(PlcMemory, DefaultsAndBadArguments) {
  Plc plc;
  EXPECT_EQ(plc.pdu_size(), 240);
  EXPECT_EQ(plc.read_bytes(Area::Inputs, 0, 1023, 1), B({0}));
  EXPECT_THROW(plc.read_bytes(Area::Inputs, 0, 1023, 2), std::out_of_range);
  EXPECT_THROW(plc.read_bytes(Area::DB, 4, 0, 1), std::out_of_range);
  EXPECT_THROW(plc.write_bytes(Area::Flags, 0, 1024, B({1})), std::out_of_range);
  EXPECT_THROW(plc.read_bytes(Area::Timers, 0, 0, 1), std::out_of_range);
  EXPECT_THROW(plc.set_timer(256, 1), std::out_of_range);
  EXPECT_THROW(plc.counter(-1), std::out_of_range);
  EXPECT_THROW(plc.add_db(1, 65536), std::invalid_argument);
  EXPECT_THROW(plc.add_db(-1, 1), std::invalid_argument);
  EXPECT_THROW(plc.set_area_size(Area::DB, 10), std::invalid_argument);

  plc.set_area_size(Area::Outputs, 4);
  EXPECT_EQ(item_rc(plc.handle(read_req(0x02, 4, 0, 0x82, 0))), 0xFF);
  EXPECT_EQ(item_rc(plc.handle(read_req(0x02, 5, 0, 0x82, 0))), s7sim::kRcAddress);
  // add_db replaces a block with a new zeroed one.
  plc.add_db(9, 2);
  plc.write_bytes(Area::DB, 9, 0, B({7, 7}));
  plc.add_db(9, 3);
  EXPECT_EQ(plc.read_bytes(Area::DB, 9, 0, 3), B({0, 0, 0}));
}

}  // namespace
