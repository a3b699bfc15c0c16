/* s7serial tags: PLC variables by their usual addresses ("DB10.DBW4",
 * "M20.3", "T5", "VW100", "DB10.DBB20:STRING[16]", "MB0[16]"), read and
 * written many at a time in as few jobs on the line as the path allows.
 *
 * Addresses are byte addresses as PLC programmers write them: DBW4 is bytes
 * 4 and 5 (the word calls of kesto.h and s7serial.h count in words instead).
 * Timers and counters are numbered. V memory of an S7-200 is data block 1.
 *
 * Each tag carries a caller-owned value buffer of Count elements in host
 * representation (S7TagValueSize tells its size):
 *   BOOL         one BYTE per element, 0 or 1
 *   BYTE, CHAR   BYTE
 *   WORD / INT   WORD / int16_t
 *   DWORD / DINT DWORD / int32_t
 *   REAL         float
 *   STRING[n]    n + 1 chars per element, zero-terminated
 *   TIMER        DWORD, milliseconds (as S7RdTimer)
 *   COUNTER      WORD, 0..999 (as S7RdCounter)
 * and gets a result of its own: 0 delivered (read) or written; a positive
 * value is the PLC's return code for that tag's item (S7TAG_ERR_..., a code
 * 0 given as 256); a negative one says why the tag was not done (-1 the line
 * failed, or the PLC refused the whole job; -5 no value buffer or a record
 * that names no tag; -9 a value the type cannot carry: a BOOL other than 0
 * or 1, a string longer than n, a timer above 9,990,000 ms, a counter above
 * 999). KS7ErrText gives the text of each.
 *
 * A read groups the tags by area and data block and reads neighbours as one
 * item where the gap costs fewer bytes than an item of their own; a range
 * refused for such a shared item is asked again tag by tag, so that the
 * refusal is the guilty tag's alone. A write sends exactly the tags' bytes in
 * the given order (tags that follow one another in the list and in memory as
 * one item, asked again tag by tag in the same way), a BOOL as a bit item
 * (its neighbours untouched), a STRING[n] as n + 2 bytes (n, the length, the
 * characters, zeros). Every job stays within the PLC's data unit (240 bytes
 * behind the MPI adapter, 120 on an S7-200; a job refused as too large is
 * sent again as jobs of half the size) and the item limit; a tag longer than
 * a job goes in packets.
 *
 * Compiles as C and as C++. */
#ifndef S7SERIAL_S7TAGS_H
#define S7SERIAL_S7TAGS_H

#include "s7serial.h"
#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Value types (S7TAGADDR.Type). */
#define S7TAG_BOOL 1
#define S7TAG_BYTE 2
#define S7TAG_CHAR 3
#define S7TAG_WORD 4
#define S7TAG_INT 5
#define S7TAG_DWORD 6
#define S7TAG_DINT 7
#define S7TAG_REAL 8
#define S7TAG_STRING 9
#define S7TAG_TIMER 10
#define S7TAG_COUNTER 11

/* The PLC's return codes for one item, as a tag's Result. */
#define S7TAG_ERR_HARDWARE 0x01
#define S7TAG_ERR_ACCESS 0x03
#define S7TAG_ERR_ADDRESS 0x05 /* address out of range */
#define S7TAG_ERR_TYPE 0x06
#define S7TAG_ERR_SIZE 0x07
#define S7TAG_ERR_OBJECT 0x0A /* no such data block */

/* Where a tag lies: the parsed form of its text (12 bytes). */
typedef struct {
  BYTE Area;   /* S7_AREA_E, _A, _M, _DB, _Z, _T */
  BYTE Type;   /* S7TAG_... */
  BYTE Bit;    /* bit 0..7 of a BOOL tag, else 0 */
  BYTE StrLen; /* n of STRING[n] (1..254), else 0 */
  WORD DBNr;   /* data block (V memory: 1), else 0 */
  WORD Count;  /* elements: n of [n], 1 without */
  DWORD Start; /* byte address; timer or counter number */
} S7TAGADDR;

/* One tag of a read or write call. */
typedef struct {
  S7TAGADDR Addr;
  void *Value; /* Count elements in host representation, caller-owned */
  LONG Result; /* set by the call: 0, the PLC's item code, or negative */
  LONG Spare;  /* 0 */
} S7TAG;

/* Parses Text into *Addr. 0 on success; otherwise the 1-based position of
 * the first character that does not fit, and a line saying what was
 * expected there in Msg (MsgMax bytes, zero-terminated; Msg may be NULL). */
S7SERIAL_API int S7ParseTag(const char *Text, S7TAGADDR *Addr, char *Msg, int MsgMax);
/* Bytes the value buffer of a tag needs (Count elements), 0 for a bad type. */
S7SERIAL_API int S7TagValueSize(const S7TAGADDR *Addr);
/* Most items one job of the planned reads and writes carries, for every
 * connection from now on (1..20; 0 restores the default of 20; any other
 * value changes nothing). Returns the limit in force before. */
S7SERIAL_API int S7SetTagItemLimit(int MaxItems);

/* Record API: reads or writes every tag over the record's connection and
 * sets each tag's Result. Returns the number of tags done (Count when all
 * were), or -1 when nothing could be done (Err says why: -1 the line, as
 * every other call; Tags NULL or Count below 0 with nothing sent). A line
 * failure in the middle leaves the tags not yet done with Result -1. Err
 * afterwards: 0 all done, 2 some refused by the PLC, -1 the line failed,
 * else the first reason a tag was left out before sending (-5, -9). */
S7SERIAL_API int S7ReadTags(LPS7 pS7, S7TAG *Tags, int Count);
S7SERIAL_API int S7WriteTags(LPS7 pS7, S7TAG *Tags, int Count);

/* Handle API: the same for a reference of KS7Open. 0 every tag done; 1 some
 * refused by the PLC (the others done); 2 all refused; otherwise as the other
 * handle calls (-99 no such reference, -5 Tags NULL or Count below 0, the
 * record's Err when the line failed; when every tag was left out before
 * sending, the first tag's Result, -5 or -9). */
S7SERIAL_API LONG KS7ReadTags(LONG Ref, S7TAG *Tags, LONG Count);
S7SERIAL_API LONG KS7WriteTags(LONG Ref, S7TAG *Tags, LONG Count);

#ifdef __cplusplus
}
#endif

#endif
