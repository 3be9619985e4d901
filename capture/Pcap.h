// Adapter queries and the capture handle, built on the driver entry points of
// Packet32. Nothing here raises: every operation returns a result and leaves
// a message in an error-text argument (or, for reads, in the handle).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/Packet32.h"
#include "capture/bpf.h"

class TStrings;

constexpr uint32_t CAPTURE_BUFFER_SIZE = 256000;
constexpr int32_t CAPTURE_KERNEL_BUFFER = 1000000;
// The adapter-name buffer's first size; a driver that needs more says so and
// is asked again with a buffer of the size it asked for, up to the limit.
constexpr uint32_t ADAPTER_NAMES_SIZE = 4096;
constexpr uint32_t ADAPTER_NAMES_SIZE_MAX = 16u << 20;
constexpr int ADAPTER_NAMES_ATTEMPTS = 4;
constexpr uint32_t ADAPTER_NAME_MAX = 2048;
constexpr int MAX_ADAPTER_ADDRESSES = 10;

// One open adapter ready for reading. Opened before the reading thread starts,
// read by that one thread only, closed after it has ended.
struct CaptureHandle {
  ADAPTER* Adapter;
  PACKET* Packet;
  uint32_t SnapLen;
  uint32_t BufferSize;
  uint8_t* Buffer;
  uint8_t* NextRecord;  // first record of the current block not yet handed out
  uint32_t BytesLeft;   // bytes of the current block from NextRecord on
  char ErrorText[256];  // last read error
  int ReadErrno;        // the system's code for the last read error, 0 when the driver gave none
};

using TCaptureCallback = void (*)(void* User, const bpf_hdr* Header, const uint8_t* Data);

// Fills Names and Descriptions (row for row) and returns the number of names:
// every adapter the driver lists, however long the list.
int ListAdapters(TStrings* Names, TStrings* Descriptions, std::string& ErrorText);

std::string GetDriverVersionText();
std::string GetPacketDllVersion();

// The adapter's IPv4 addresses, masks and broadcasts in network byte order;
// at most 10 entries.
int GetAdapterAddresses(const std::string& AdapterName, std::vector<uint32_t>& IPs, std::vector<uint32_t>& Masks,
                        std::string& ErrorText, std::vector<uint32_t>& Broadcasts);

// The open adapter's MAC address, or 6 zero bytes.
void GetAdapterMac(CaptureHandle* Handle, std::string& ErrorText, uint8_t Mac[6]);

// Opens an adapter. ReadTimeout is accepted and not used: the reader sets it.
// nullptr on failure, with nothing left open or allocated.
CaptureHandle* OpenCapture(const std::string& DeviceName, int SnapLen, bool Promiscuous, std::string& ErrorText,
                           int ReadTimeout);

// Hands out up to Count records (Count <= 0: the rest of the block), reading
// the driver first when no block is in hand. Returns the number handed out,
// or -1 with the message in Handle->ErrorText and the driver's errno (ENODEV:
// the adapter has gone) in Handle->ReadErrno.
int ReadCapture(CaptureHandle* Handle, int Count, TCaptureCallback Callback, void* User);

// Closes the adapter and frees the handle; Handle becomes nullptr.
void CloseCapture(CaptureHandle*& Handle);
