// Plain wrappers for the control requests of the StorNext file-system driver: one function per
// request, building the request record, issuing it on the caller's descriptor and copying results
// back. Stateless apart from the request seam below; callable from any thread.
#pragma once

#include <cstdint>

namespace velmora {

// Carries one request to the driver with the contract of ioctl(2): 0 (or a non-negative value) on
// success, -1 with errno set on failure. A null record means the request carries none.
using CvRequestFunction = int (*)(int fd, unsigned long request, void* record);

// Replaces the function that carries requests (a test installs a fake driver here) and returns the
// previous one; a null argument restores the real ioctl. Swapping is atomic, but a swap while
// requests are in flight on other threads is the caller's concern.
CvRequestFunction setCvRequestFunction(CvRequestFunction fn);

} // namespace velmora

// Each returns 0 on success and the errno value on failure unless its comment says otherwise.
// Outputs are written only on success. Text fields handed to or read from the driver are 256
// bytes; caller name buffers must hold 256 bytes. A quota name that does not fit in 255 bytes plus
// its NUL is refused with ENAMETOOLONG without a request; a stripe-group name may fill all 256.
// A null pointer the wrapper would read or write through is refused with EINVAL.

int CvApi_AllocSpace(int fd, uint64_t* a, uint64_t* b, uint64_t c, uint32_t d);
int CvApi_PunchHole(int fd, uint64_t* a, uint64_t* b, uint64_t* c, uint64_t* d);
// Mode bit 0 set: looks the name up by *index; clear: looks the index up by name.
int CvApi_GetSgName(int fd, int mode, uint32_t* index, char* name);
int CvApi_EnableRtio(int fd, uint32_t a);
int CvApi_DisableRtio(int fd);
int CvApi_SetConcWrite(int fd);
int CvApi_ClearConcWrite(int fd);
int CvApi_CvFstat(int fd, void* buffer);
int CvApi_GetAffinity(int fd, uint64_t* out);
int CvApi_SwapExtents(int fd, uint64_t a, uint32_t b);
int CvApi_GetPhysLoc(int fd, uint64_t a, uint64_t out[9]);
int CvApi_SetRdHoleFail(int fd);
int CvApi_ClearRdHoleFail(int fd);
int CvApi_GetRtio(int fd, uint32_t a, uint32_t* o1, uint32_t* o2, uint32_t* o3, uint32_t* o4,
                  uint32_t* o5);
int CvApi_SetAffinity(int fd, uint64_t a);
int CvApi_SetQuota(int fd, int type, const char* name, uint64_t c, uint64_t d, uint32_t e);
int CvApi_GetQuota(int fd, int type, const char* name, uint64_t out[4]);
int CvApi_GetPerfectFitStatus(int fd, uint32_t* out);
int CvApi_LoadExtents(int fd, uint64_t a, uint64_t b);
int CvApi_CvOpenStat(int fd, void* buffer);
int CvApi_BulkCreate(int fd, void* buffer);
int CvApi_BulkFlush(int fd);
int CvApi_QosClientStats(int fd, uint32_t a, uint32_t* io, uint64_t c);
int CvApi_SetFileSize(int fd, uint64_t size);
int CvApi_StatPlus(int fd, void* buffer);
int CvApi_StatFs(int fd, void* buffer);
// The record carries b before a.
int CvApi_VerifyAlloc(int fd, uint64_t a, uint64_t b, uint32_t c);
int CvApi_SetPerfectFitStatus(int fd, int on);
int CvApi_SetRtio(int fd, uint32_t* io, int flags, uint32_t c);
int CvApi_GetExtList(int fd, uint64_t a, uint32_t* io, uint64_t c);
int CvApi_GetVerInfo(int fd, void* buffer);
// Returns the request's own result (0 or -1), not errno; the driver fills entries and *count.
int CvApi_GetDiskInfo(int fd, uint32_t index, void* entries, uint32_t* count);
// name receives the group's name; p1 and p2 are addresses in the caller's memory for the driver.
int CvApi_GetSgInfo(int fd, uint32_t group, uint64_t* o1, uint64_t* o2, uint32_t* o3, uint32_t* o4,
                    uint32_t* o5, uint32_t* o6, char* name, uint64_t p1, uint64_t p2);

// Opens the path read-only: the descriptor, or -1. The last two arguments are not used.
int CvApi_BulkOpenTargetDir(const char* path, uint32_t unused1, void* unused2);
int CvApi_BulkCloseTargetDir(int fd);

// Set or clear the descriptor's non-blocking status flag (0x800), which marks real-time I/O.
int CvSetUnixRtio(int fd);
int CvClearUnixRtio(int fd);
