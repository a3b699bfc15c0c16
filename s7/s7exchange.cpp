// Raw S7 jobs: one job as a caller built it, carried over the record's
// connection with the same status check, lock hooks, exchange and answer
// framing as the read and write jobs; the answer handed back as it came.
#include <cstring>

#include "s7int.h"

namespace {

constexpr int kHeadLen = static_cast<int>(sizeof(MPIHEAD));  // the header JobPart() skips
constexpr int kJobHeadLen = static_cast<int>(sizeof(MPIB1));
// B1 and Buf of a block on MPI; one frame's data unit on PPI.
constexpr int kMaxJobMPI = kJobHeadLen + s7job::BufLen;
static_assert(kMaxJobMPI == 310 && s7job::PpiDataUnit == 252);

int MaxJob(const S7I *pS7) { return pS7->SPSTyp ? s7job::PpiDataUnit : kMaxJobMPI; }

constexpr BYTE kUserData = 0x07;

// The answer belongs to the job: an acknowledgement (with or without data)
// of a job, user data of user data, and the job's PDU reference.
bool OwnAnswer(const BYTE *Req, const BYTE *Ans) {
  constexpr int kRef = 4;  // 0x32, kind, two reserved bytes, then the reference
  const bool bKind = Req[1] == kUserData ? Ans[1] == kUserData : (Ans[1] == 0x02 || Ans[1] == 0x03);
  return bKind && Ans[kRef] == Req[kRef] && Ans[kRef + 1] == Req[kRef + 1];
}

}  // namespace

extern "C" int S7Exchange(LPS7 pS7, const BYTE *Req, int ReqLen, BYTE *Ans, int AnsMax) {
  if (pS7 == nullptr) return -1;
  if (Req == nullptr || Ans == nullptr || ReqLen < kJobHeadLen || ReqLen > MaxJob(pS7) ||
      AnsMax < 0) {
    pS7->Err = -1;
    return -1;
  }
  // the port's lock for the whole call: records of one port may be used from several threads
  const ComGuard Guard(pS7->Com);
  if (!CheckStatus(pS7)) return -1;

  pS7->Tx.H.BlockKennung = 0xF1;
  std::memcpy(JobPart(pS7->Tx), Req, static_cast<size_t>(ReqLen));
  const int n = DoMPIComu(pS7, ReqLen + kHeadLen);

  // Whole when the block holds exactly what its job header announces; ours
  // when it answers this job (a late answer to an earlier one is dropped).
  if (n < kHeadLen + kJobHeadLen || n != AnswerBlockLen(pS7) || !OwnAnswer(Req, JobPart(pS7->Rx))) {
    SetErr(pS7, TRUE);
    return -1;
  }
  const int AnsLen = n - kHeadLen;
  if (AnsLen > AnsMax) {
    pS7->Err = -1;
    return -1;
  }
  std::memcpy(Ans, JobPart(pS7->Rx), static_cast<size_t>(AnsLen));
  pS7->Err = 0;
  return AnsLen;
}
