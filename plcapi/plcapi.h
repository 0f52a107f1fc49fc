#pragma once
// The HomePlug AV management library: builds vendor-specific management
// requests (EtherType 0x88E1, vendor OUI 00:B0:52), decodes confirmations and
// indications into a PlcReply, drives the multi-frame module reads and image
// writes, and understands parameter-block (.PIB) and firmware (.NVM) images.
//
// Calling convention: frame builders return the frame length in bytes or 0,
// sequence starters and the decoder return 0 or -1; the cause of a failure is
// left in errno (EPERM 1, EFAULT 14, EINVAL 22, ERANGE 34, or 40 for a received
// message type the library does not handle).
#include <cerrno>
#include <cstddef>
#include <cstdint>

// ---- Identification and error codes --------------------------------------------

extern const char plcapiIdentification[]; // "Morvanta HomePlug AV API Version 2.1.3.1"

// Received MMTYPE not handled by the library.
constexpr int kPlcErrUnhandledType = 40;
static_assert(EPERM == 1 && EFAULT == 14 && EINVAL == 22 && ERANGE == 34,
              "the library's error codes are part of its interface");

// ---- Frame header ------------------------------------------------------------------

constexpr uint16_t kMmeEtherType = 0x88E1;
constexpr uint8_t kMmeMmv = 0x00;
constexpr uint8_t kMmeVendorOui[3] = {0x00, 0xB0, 0x52};
constexpr uint32_t kMmeHeaderEnd = 20;       // first payload byte
constexpr uint32_t kMmeMinFrameLength = 64;  // every frame the library builds
constexpr uint32_t kMmeBlockSize = 1024;     // largest data block of a transfer
constexpr uint32_t kMmeFrameCapacity = 1528; // what callers pass as capacity

// The common header of every HomePlug AV management frame (byte layout; the
// library reads and writes it byte by byte, so the struct only fixes offsets).
#pragma pack(push, 1)
struct MmeFrameHeader {
    uint8_t destination[6];
    uint8_t source[6];
    uint8_t etherType[2]; // big-endian 0x88E1
    uint8_t mmv;          // management message version, 0
    uint8_t mmtype[2];    // little-endian
    uint8_t oui[3];       // 00 B0 52
};
#pragma pack(pop)
static_assert(sizeof(MmeFrameHeader) == 20);
static_assert(offsetof(MmeFrameHeader, source) == 6);
static_assert(offsetof(MmeFrameHeader, etherType) == 12);
static_assert(offsetof(MmeFrameHeader, mmv) == 14);
static_assert(offsetof(MmeFrameHeader, mmtype) == 15);
static_assert(offsetof(MmeFrameHeader, oui) == 17);

// Message types (requests; the confirmation of X is X | 1).
enum : uint16_t {
    kMmtypeVersion = 0xA000,
    kMmtypeWriteMemory = 0xA004,
    kMmtypeStartFirmware = 0xA00C,
    kMmtypeWriteModule = 0xA020,
    kMmtypeReadModule = 0xA024,
    kMmtypeCommitModules = 0xA028,
    kMmtypeNetworkInfo = 0xA038,
    kMmtypeSetKey = 0xA050,
    kMmtypeConfigurationBlock = 0xA058,
    kMmtypeHostAction = 0xA062, // indication
    kMmtypeHostActionResponse = 0xA063,
    kMmtypeFactoryDefaults = 0xA07C,
};

// Writes destination, source and EtherType 0x88E1 at buffer[0..13]. Returns 14,
// or 0: null argument EFAULT; capacity below 14 zeroes the first capacity bytes
// and gives ERANGE.
uint32_t plcapi_PutEthernetHeader(uint8_t* buffer, uint32_t capacity, const uint8_t* destination,
                                  const uint8_t* source);
// Writes MMV 0, the little-endian MMTYPE and the vendor OUI at buffer[0..5].
// Returns 6, or 0: null buffer EFAULT; capacity below 6 zeroes it and gives ERANGE.
uint32_t plcapi_PutMmeHeader(uint8_t* buffer, uint32_t capacity, uint16_t mmtype);

// Bitwise complement of (initial XOR w0 XOR ... XOR w(count-1)) over consecutive
// 32-bit little-endian words. Verifying data against a stored checksum c is
// Checksum32 over the data with initial c, which gives 0 when they match.
uint32_t Checksum32(uint32_t count, const void* words, uint32_t initial);

// ---- Single-frame requests -----------------------------------------------------------

// Input of the set key request (39 bytes).
#pragma pack(push, 1)
struct SetKeyInput {
    uint8_t nmk[16];  // network membership key to install
    uint8_t selector; // 0x0F the addressed device itself, 0x00 a remote device
    uint8_t remoteMac[6];
    uint8_t remoteDak[16];
};
#pragma pack(pop)
static_assert(sizeof(SetKeyInput) == 39);
static_assert(offsetof(SetKeyInput, selector) == 16);
static_assert(offsetof(SetKeyInput, remoteMac) == 17);
static_assert(offsetof(SetKeyInput, remoteDak) == 23);

constexpr uint8_t kSetKeySelectorLocal = 0x0F;
constexpr uint8_t kSetKeySelectorRemote = 0x00;

// Each returns 64, or 0 with errno set (EFAULT null argument, ERANGE capacity
// below 64; the set key request also EINVAL for a selector other than 0x00/0x0F).
uint32_t plcapi_RequestVersion(const uint8_t* source, const uint8_t* destination, uint32_t capacity,
                               uint8_t* buffer);
uint32_t plcapi_RequestNetworkInfo(const uint8_t* source, const uint8_t* destination,
                                   uint32_t capacity, uint8_t* buffer);
uint32_t plcapi_RequestFactoryDefaults(const uint8_t* source, const uint8_t* destination,
                                       uint32_t capacity, uint8_t* buffer);
uint32_t plcapi_ReadConfigurationBlock(const uint8_t* source, const uint8_t* destination,
                                       uint32_t capacity, uint8_t* buffer);
uint32_t plcapi_RequestSetKey(const uint8_t* source, const uint8_t* destination, uint32_t capacity,
                              uint8_t* buffer, const SetKeyInput* input);

// ---- Pending frame and the transfer sequence -------------------------------------------

// The next frame the library will emit: a header, `fixedLength` bytes of
// `fixed`, `dataLength` bytes from `data` and `trailerLength` trailer bytes.
struct PendingFrame {
    uint8_t pending;
    uint8_t destination[6];
    uint8_t source[6];
    uint16_t mmtype;
    uint32_t fixedLength;
    uint8_t fixed[24];
    uint32_t dataLength;
    const uint8_t* data; // into the caller's image; not owned
    uint32_t trailerLength;
    uint8_t trailer[4];
};

// Cuts a caller-owned image into blocks; never copies or frees the image.
struct BlockCursor {
    const uint8_t* base;
    const uint8_t* current;
    const uint8_t* limit; // base + size
    uint32_t index;
    uint32_t size;
    uint32_t blockSize;
};

// null image, size 0 or blockSize 0: EINVAL and null; else a cursor at block 0.
BlockCursor* blockCursorCreate(const uint8_t* image, uint32_t size, uint32_t blockSize);
// Moves to block `index`; returns its length and its start in *blockStart.
// Past the end: ERANGE, current := limit, *blockStart := limit, 0.
// Null cursor or output: EINVAL, 0.
uint32_t blockCursorSeek(BlockCursor* cursor, uint32_t index, const uint8_t** blockStart);
uint32_t blockCursorNext(BlockCursor* cursor, const uint8_t** blockStart);
uint32_t blockCursorOffset(const BlockCursor* cursor);
// True when current + n reaches the limit (the block of n bytes is the last).
bool blockCursorAtEnd(const BlockCursor* cursor, uint32_t n);
void blockCursorFree(BlockCursor* cursor);

// Flags of PlcSequence.
enum : uint32_t {
    kSeqEndWithCommit = 0x001, // else the write ends with the start request
    kSeqOptionBit1 = 0x002,
    kSeqOptionBit4 = 0x010, // also OR'ed into the commit mask
    kSeqOptionBit5 = 0x020, // write module mode
    kSeqModule1 = 0x200,    // module 1 still to transfer / being read
    kSeqModule2 = 0x400,    // module 2 still to transfer
};

// The one transfer sequence of the process; all zero when idle.
struct PlcSequence {
    uint32_t flags;
    uint32_t readType;
    uint32_t kind;
    uint8_t retries;
    uint32_t total;
    uint32_t nextHeader;
    PendingFrame pending;
    BlockCursor* firmwareCursor;  // owned
    BlockCursor* parameterCursor; // owned
    BlockCursor* currentCursor;   // one of the two
    uint8_t moduleMask;
    // The request the next confirmation answers: module id, module offset (or
    // device memory address in write memory mode) and length. Resends and the
    // next block are built from it, so a host action response that took the
    // pending frame's place does not lose the transfer's position.
    uint8_t blockModule;
    uint32_t blockPosition;
    uint32_t blockLength;
    // The four firmware header words the start request carries.
    uint32_t startWords[4];
    // The station the transfer talks to and the address it sends from, fixed
    // when it starts. Every block, resend and finishing request is addressed
    // from them, whatever a host action indication did to the pending frame,
    // and only that station's confirmations move the transfer. A transfer
    // started towards a group address or the local management address takes
    // the station whose confirmation first moved it on.
    uint8_t peer[6];
    uint8_t self[6];
    // The finishing request (commit or start) is the frame in flight: only
    // then does a commit or start confirmation end a write.
    uint8_t finishing;
};
extern PlcSequence plcSequence;

// Load address of the parameter block in write memory mode.
constexpr uint32_t kParameterBlockAddress = 0x01F00000;

// Read type 1 module 1 (firmware), 2 module 2 (parameter block), 3 both.
// Returns 0, or -1 with EINVAL (other read type) or EFAULT (null MAC).
int plcapi_StartModuleRead(const uint8_t* source, const uint8_t* destination, uint32_t readType);
// Starts writing the firmware image (optional) and the parameter block. Bits
// 0x33 of `options` are kept: write module mode when bit 5 is set or bits 0, 1
// and 4 all are; a write ends with the commit request when bit 0 is set, else
// with the start request. Both images stay owned by the caller and must stay
// valid until the sequence completes. Returns 0, or -1 with errno.
int plcapi_StartImageWrite(const uint8_t* source, const uint8_t* destination,
                           uint32_t firmwareLength, const uint8_t* firmware,
                           uint32_t parameterLength, const uint8_t* parameters, uint32_t options);
// Emits the pending frame into `buffer`: its length (64 or more), or 0 when
// nothing is pending (no error), the buffer is null (EFAULT) or too small (ERANGE;
// the frame stays pending).
uint32_t plcapi_NextFrame(uint32_t capacity, uint8_t* buffer);

// ---- Decoding ------------------------------------------------------------------------

enum ReplyKind : uint32_t {
    ReplyKindNone = 0,
    ReplyKindA031 = 1,
    ReplyKindA055 = 2,
    ReplyKindNetworkInfo = 3,
    ReplyKindFirmwareVersion = 4,
    ReplyKindA01D = 5,
    ReplyKindHostAction = 6,
    ReplyKindImageWrite = 7,
    ReplyKindSetKey = 8,
    ReplyKindModuleRead = 9,
    ReplyKindA071 = 10,
    ReplyKindA06D = 11,
    ReplyKindA05D = 12,
    ReplyKindFactoryDefaults = 13,
    ReplyKindA091 = 14,
    ReplyKindA095 = 15,
    ReplyKindConfigurationBlock = 16,
};

enum : uint32_t {
    kReplyStateUntouched = 0,
    kReplyStatePending = 1,  // call plcapi_NextFrame and send the frame
    kReplyStateComplete = 2, // the exchange is complete
};

constexpr uint16_t kReplyMmtypeNone = 0xFFFF;

// One decoded message (1541 bytes, zeroed at the start of every decode).
#pragma pack(push, 1)
struct PlcReply {
    uint32_t kind;
    uint32_t state;
    uint16_t mmtype;
    uint8_t status;
    uint8_t destination[6];
    uint8_t source[6];
    uint8_t valid;
    uint32_t dataLength;
    uint8_t data[1513];
};
#pragma pack(pop)
static_assert(sizeof(PlcReply) == 1541);
static_assert(offsetof(PlcReply, mmtype) == 8);
static_assert(offsetof(PlcReply, status) == 10);
static_assert(offsetof(PlcReply, destination) == 11);
static_assert(offsetof(PlcReply, source) == 17);
static_assert(offsetof(PlcReply, valid) == 23);
static_assert(offsetof(PlcReply, dataLength) == 24);
static_assert(offsetof(PlcReply, data) == 28);

// Decodes one received frame; 0 on success, -1 with errno (and, for header
// failures and unhandled types, the code in reply->status). Confirmations of a
// running transfer advance plcSequence; a host action indication makes its
// response the pending frame.
int plcapi_DecodeFrame(uint32_t frameLength, const uint8_t* frame, PlcReply* reply);

// ---- Reply waits -----------------------------------------------------------------------

// How long AwaitReply waits, and the longest ReceiveReply goes on taking frames
// that are not the awaited reply.
constexpr uint32_t kReplyTimeoutMs = 100;

// Set whenever ReceiveReply accepts a reply; callers clear it before a probe
// (clearReplyReceived).
extern bool replyReceived;
void clearReplyReceived();

// Takes frames from every open interface and decodes them until one is the
// confirmation of `requestType` (or a commit confirmation 0xA029 that ended a
// transfer of ours). With `from` a unicast station (not the local management
// address), only that station's confirmation is accepted: a request sent to
// one device is answered by that device, never by a third station. False when
// no frame is available, or when only other frames arrived for kReplyTimeoutMs.
// An accepted reply is followed by a pause of `pauseMs` (1 ms), which a caller
// that pauses again at once asks for whole: one sleep wakes late at most once.
bool ReceiveReply(uint16_t requestType, PlcReply* reply, const uint8_t* from = nullptr,
                  uint32_t pauseMs = 1);
// ReceiveReply until the confirmation arrives, for at most kReplyTimeoutMs.
bool AwaitReply(uint16_t requestType, PlcReply* reply, const uint8_t* from = nullptr);
// AwaitReply that also hands back the accepted frame as it arrived: its bytes
// in `frame` (room for 1514) and its length in `frameLength`, for a reader
// that must know where the received bytes end (the decoded reply holds a
// fixed-size, zero-padded copy).
bool AwaitReplyFrame(uint16_t requestType, PlcReply* reply, const uint8_t* from, uint8_t* frame,
                     uint32_t* frameLength);
// True when a confirmation from `source` may answer a request sent to
// `destination`: any station for a group address or the local management
// address (the device's own address is not known yet), else that one station.
bool plcapi_AnswersRequestTo(const uint8_t* destination, const uint8_t* source);

// ---- Parameter block (.PIB) --------------------------------------------------------------

// The parameter block fields the system reads or writes.
#pragma pack(push, 1)
struct PibHeader {
    uint8_t versionMajor;
    uint8_t versionMinor;
    uint8_t reserved2[2];
    uint16_t length; // little-endian
    uint8_t reserved6[2];
    uint32_t checksum; // little-endian
    uint8_t mac[6];
    uint8_t reserved18[82];
    uint8_t nmk[16];
};
#pragma pack(pop)
static_assert(sizeof(PibHeader) == 116);
static_assert(offsetof(PibHeader, length) == 4);
static_assert(offsetof(PibHeader, checksum) == 8);
static_assert(offsetof(PibHeader, mac) == 12);
static_assert(offsetof(PibHeader, nmk) == 100);

constexpr uint32_t kPibLength33 = 7992; // length of a version 3.3 block
constexpr uint32_t kPibMaxChecksumLength = 16384;

// Result codes of PibImage.
enum : int {
    kPibOk = 0,
    kPibSectionFailed = 2,
    kPibNotVersion33 = 3,
    kPibNoBlock = 5,
    kPibVersionTooOld = 6,
    kPibBadLength = 7,
    kPibMacRefused = 8,
};

// Wraps a parameter block the caller owns; never frees it. Every read stays
// within the `size` bytes the caller gave: a block too short for what an
// operation reads gives kPibBadLength.
class PibImage {
  public:
    PibImage() = default;
    ~PibImage() { release(); }
    PibImage(const PibImage&) = delete;
    PibImage& operator=(const PibImage&) = delete;

    // Stores the block and validates it.
    int attach(uint8_t* block, uint32_t size);
    // 5 no block, 3 not version 3.3, 7 length not 7992, 2 a section check
    // failed, 0 valid (then validated := 1).
    int validate();
    // 5, 6 version below 1.4, 8 MAC refused, or 0 after writing the MAC at 12.
    int setMac(const uint8_t* mac);
    // 5, 6, or 0 after copying the 16 bytes at 100.
    int getNmk(uint8_t* nmk) const;
    // Attaches, then rewrites the checksum at 8 so the block verifies: the
    // attach result when 4 or more; 7 when the length field is above 16384 or
    // the block; else the attach result (0, 2 or 3).
    int rechecksum(uint8_t* block, uint32_t size);
    // Clears the fields; never frees the block.
    void release();

    uint8_t* block() const { return block_; }
    uint8_t validated() const { return validated_; }

  private:
    bool versionBelow14() const;
    uint8_t* block_ = nullptr;
    uint32_t size_ = 0;
    uint8_t validated_ = 0;
};

// ---- Firmware image (.NVM) -----------------------------------------------------------------

// The 44-byte header that introduces every block of a firmware image.
#pragma pack(push, 1)
struct NvmBlockHeader {
    uint32_t reserved0[2];
    uint32_t loadAddress;
    uint32_t imageLength;
    uint32_t startWord16;
    uint32_t startWord20;
    uint32_t reserved24[3];
    uint32_t nextHeader; // offset from the start of the file; 0 in the last block
    uint32_t checksum;   // Checksum32 over the first ten words
};
#pragma pack(pop)
static_assert(sizeof(NvmBlockHeader) == 44);
static_assert(offsetof(NvmBlockHeader, loadAddress) == 8);
static_assert(offsetof(NvmBlockHeader, imageLength) == 12);
static_assert(offsetof(NvmBlockHeader, startWord16) == 16);
static_assert(offsetof(NvmBlockHeader, startWord20) == 20);
static_assert(offsetof(NvmBlockHeader, nextHeader) == 36);
static_assert(offsetof(NvmBlockHeader, checksum) == 40);

// Follows the header chain of a firmware image and returns the header of the
// last block (next-header offset 0), or null: EINVAL for a header whose
// checksum fails or whose next-header offset does not move past it, EFAULT when
// the chain leaves the image.
const uint8_t* plcapi_WalkNvmHeaders(const uint8_t* image, uint32_t size);

// ---- Library state -------------------------------------------------------------------------

// Ends any transfer (freeing its cursors) and clears the reply-received flag.
void resetPlcapi();
