// The tag planner: from a list of tags to S7 read or write jobs, with no I/O,
// so that it is tested and fuzzed alone. Not exported; the tag calls, the
// tests and the benchmark link the static library for it.
//
// A read plan groups the tags by area and data block, merges neighbours into
// one item when the gap costs fewer bytes than an item of their own (bits of
// one byte read as that byte), and fills each job with as many items as the
// request and the answer allow on the path, at most the item limit
// (S7SetTagItemLimit). A tag longer than one job goes in packets. A write
// plan carries exactly the tags' bytes in the given order: tags that follow
// one another in the list and in memory as one item (or packets), a bit as a
// bit item, never a read-modified neighbour.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "s7tags.h"

namespace tagplan {

// What one job may hold on a path: its bytes and its answer's, from the 0x32
// byte on, and its items. The PLC's data-unit size (240 behind the MPI
// adapter, 120 on an S7-200) is below what either path carries (310, 252),
// and it is the one that counts.
struct Limits {
  int MaxReq;
  int MaxAns;
  int MaxItems;
  // Line characters an item of its own costs: its 12 bytes in the job and the
  // 4-byte head of its data in the answer, and on MPI the doubled 0x10 of its
  // address syntax. A read merges neighbours whose gap costs fewer.
  int ItemCost;
};
inline constexpr int kPduMPI = 240;
inline constexpr int kPduPPI = 120;
// The path's limits with the item limit in force.
Limits PathLimits(bool Ppi);

// Bytes of a job and an answer around their items.
inline constexpr int kHeadLen = 10;     // 0x32, kind, 2 reserved, reference, two lengths
inline constexpr int kAnsHeadLen = 12;  // the same and the error class and code
inline constexpr int kParHead = 2;      // function and item count
inline constexpr int kItemLen = 12;     // one item in the parameters
inline constexpr int kDataHead = 4;     // return code, transport size, length

// Item transport sizes.
inline constexpr BYTE kTsBit = 0x01;
inline constexpr BYTE kTsByte = 0x02;
inline constexpr BYTE kTsCounter = 0x1C;
inline constexpr BYTE kTsTimer = 0x1D;

// True when the record names a tag the calls can carry: a known area with a
// type it holds, bit 0..7 (BOOL only), STRING[1..254], Count 1 or more and a
// range that ends by byte (or number) 65535.
bool TagAddrValid(const S7TAGADDR &a);
// Bytes one element takes in the caller's value buffer (0: not valid).
int HostSize(const S7TAGADDR &a);
// Bytes of the tag's image on the line: what a read brings (bits: the bytes
// that hold them; timers and counters two bytes each) or a write sends (bits
// one byte each, 0 or 1).
DWORD ImageBytes(const S7TAGADDR &a, bool Write);

// Part of a tag carried by one item: Len bytes at TagOff of the tag's image
// are the bytes at ItemOff of the item's data.
struct Piece {
  int Tag;
  DWORD TagOff;
  DWORD ItemOff;
  DWORD Len;
};

struct Item {
  BYTE Area = 0;
  BYTE Ts = kTsByte;
  BYTE Bit = 0;     // bit items
  WORD DBNr = 0;    // data blocks, else 0
  WORD Count = 0;   // bytes; timers or counters; 1 for a bit
  DWORD Start = 0;  // byte address, or the first timer's or counter's number
  std::vector<Piece> Pieces;
  DWORD DataBytes() const;  // bytes of its data on the line
};

struct Job {
  std::vector<Item> Items;
};

// Plans every tag whose record is valid; the others are left out (their
// index appears in no piece). Each item of a read keeps its pieces in the
// order of the tags' addresses.
std::vector<Job> PlanRead(std::span<const S7TAGADDR> Tags, const Limits &L);
std::vector<Job> PlanRead(std::span<const S7TAGADDR> Tags, const Limits &L, bool Merge);
std::vector<Job> PlanWrite(std::span<const S7TAGADDR> Tags, const Limits &L);
std::vector<Job> PlanWrite(std::span<const S7TAGADDR> Tags, const Limits &L, bool Merge);

// Sizes of a job and of its answer, from the 0x32 byte on.
int RequestBytes(const Job &J, bool Write);
int AnswerBytes(const Job &J, bool Write);

// The job's bytes from the 0x32 byte on. A write takes each tag's data from
// Images[tag] (ImageBytes(.., true) bytes, as on the line).
std::vector<BYTE> BuildRead(const Job &J);
std::vector<BYTE> BuildWrite(const Job &J, const std::vector<std::vector<BYTE>> &Images);

// One item of an answer: the PLC's return code (0xFF good) and, for a read,
// its data (Len bytes inside the answer).
struct ItemAnswer {
  BYTE Code = 0;
  const BYTE *Data = nullptr;
  DWORD Len = 0;
};
// Splits an answer into its items. False when the PLC refused the job as a
// whole or the answer does not fit the job (kind, item count, lengths). A
// read item whose data are of other than the asked size gets code 0x07.
bool ParseAnswer(const Job &J, bool Write, std::span<const BYTE> Ans, std::vector<ItemAnswer> &Out);

// Planning without merging neighbours, each tag its own item (for the
// benchmark's comparison with clients that send one item per variable).
// Process-wide, on by default.
void TagPlanSetMerge(bool on);
bool TagPlanMerge();

// Payload of a read of the tags: the bytes of their values on the line (each
// tag alone, bits one byte each), the benchmark's lower bound counts them in
// the fewest full jobs. JobPayloadMax: most data bytes one read job brings.
int TagPayloadBytes(std::span<const S7TAGADDR> Tags);
int JobPayloadMax(const Limits &L);

}  // namespace tagplan
