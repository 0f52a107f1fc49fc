#pragma once
// HomePlug 1.0 and HomePlug Turbo management frames (EtherType 0x887B): the
// request builders, the handling of every such frame that arrives, the
// local-device observer that watches all received frames, and the
// send-and-wait exchanges with their time-outs on which the network scan, the
// automatic scan and the key operations are built.
//
// Frame layout: destination (6), source (6), EtherType 0x887B (2), number of
// entries (1) at 14, entry type (1) at 15, entry data length (1) at 16, entry
// data from 17. A second entry follows the first one's data.
#include <cstddef>
#include <cstdint>

// ---- Entry types -------------------------------------------------------------
constexpr uint8_t kEntryTurboVendor = 0x02;     // Turbo vendor request / answer
constexpr uint8_t kEntrySetKey = 0x04;          // set network encryption key
constexpr uint8_t kEntryKeyConfirm = 0x06;      // confirmation of an encrypted key set
constexpr uint8_t kEntryParamsRequest = 0x07;   // parameters request
constexpr uint8_t kEntryParamsResponse = 0x08;  // parameters response (a remote device)
constexpr uint8_t kEntryTurboRead = 0x12;       // Turbo read request (and its echo)
constexpr uint8_t kEntryTurboReadAnswer = 0x13; // Turbo read answer
constexpr uint8_t kEntryEncrypted = 0x14;       // encrypted payload for one remote device
constexpr uint8_t kEntryLocalParams = 0x19;     // local parameters request / answer
constexpr uint8_t kEntryNetworkStats = 0x1A;    // network statistics request / answer
constexpr uint8_t kEntryLocalMarker = 0x1E;     // marks its source as the local device
constexpr uint8_t kEntrySettings = 0x1F;        // settings (local-parameters element)

constexpr uint8_t kTurboCodeVersion = 0x10;
constexpr uint8_t kTurboCodeStats = 0x18;
constexpr uint8_t kTurboReadFirmware = 0x20;
constexpr uint8_t kTurboReadKey = 0x21;

// Bytes up to and including the first entry's length.
constexpr size_t kHp10HeaderLength = 17;

constexpr size_t kLocalParamsSize = 50;
constexpr size_t kLocalParamsAnswerLength = 51; // entry length of a 0x19 answer
// Offsets inside the local parameters block.
constexpr size_t kParamsDeviceKey = 6;
constexpr size_t kParamsKeySelect = 14;
constexpr size_t kParamsNetworkKey = 15;
constexpr size_t kParamsSettings = 23;

// Every frame of this family is built in a zero-filled buffer of this size
// (the longest one, the Turbo read request, is 272 bytes).
constexpr size_t kHp10BufferSize = 272;

// Frame lengths as sent (the packet interface pads anything below 60 to 60).
constexpr size_t kParamsRequestLength = 17;
constexpr size_t kLocalParamsRequestLength = 32;
constexpr size_t kNetworkStatsRequestLength = 38;
constexpr size_t kSettingsFrameLength = 20;
constexpr size_t kTurboRequestLength = 35;
constexpr size_t kTurboReadLength = 272;
constexpr size_t kSetKeyFrameLength = 31;
constexpr size_t kEncryptedKeyLength = 41;
constexpr size_t kTurboSetKeyLength = 35;

// ---- Frame builders ------------------------------------------------------------
// Each zeroes `frame` (kHp10BufferSize bytes), writes one frame into it and
// returns its length. They send nothing.
void buildHp10Header(uint8_t* frame, const uint8_t* dst, const uint8_t* src);
size_t buildParametersRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst);
size_t buildLocalParametersRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                                   uint8_t selector);
size_t buildNetworkStatsRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst);
size_t buildVendorSettings(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                           const uint8_t settings[3]);
// `k` data bytes after the code; at most 8.
size_t buildTurboRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t code,
                         const uint8_t* data, size_t k);
size_t buildTurboRead(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t code);
// Set-key entry (type 0x04) and, with `withSettings`, the settings entry (0x1F).
size_t buildSetKeyFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t keySelect,
                        const uint8_t key[8], const uint8_t settings[3], bool withSettings);
// Encrypted payload (type 0x14) carrying an inner set-key block for one remote device.
size_t buildEncryptedKey(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                         const uint8_t deviceKey[8], const uint8_t newKey[8]);
size_t buildTurboSetKey(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                        const uint8_t key[8]);

// ---- Requests (each sends one frame and returns the send result) -------------
bool requestParameters(int i, const uint8_t* src, const uint8_t* dst);
bool requestLocalParameters(int i, const uint8_t* src, const uint8_t* dst, uint8_t selector);
// Broadcast network statistics request from `mac`, else the local device's MAC,
// else the interface's own MAC. A Turbo local device gets its station
// statistics request, an AV local device a station refresh instead.
bool requestNetworkStats(int i, const uint8_t* mac, const uint8_t* dst);
// Does nothing and reports success while the local device is HomePlug Turbo.
bool sendVendorSettings(int i, const uint8_t* src, const uint8_t* dst, const uint8_t settings[3]);
bool requestTurbo(const uint8_t* dst, uint8_t code, const uint8_t* data, size_t k);
bool requestTurboVersion();
bool requestTurboStats(const uint8_t* mac);
bool readTurboFirmwareText();
bool readTurboKey();

// ---- Answer handling -------------------------------------------------------------
// Handles every pending frame; returns whether the last frame handled was
// recognised. An AV frame ends the drain. Bounded by a deadline even while
// frames keep arriving.
bool drainResponses();
// drainResponses repeatedly, sleeping 1 ms before each call, for 100 ms.
void drainFor100ms();
// Handles one received 0x887B frame; returns whether it was recognised.
bool handleHp10Frame(const uint8_t* frame, uint32_t length);
// The HomePlug 1.0 dispatcher (by entry type).
bool dispatchHp10(const uint8_t* frame, uint32_t length);

// ---- Who the local device is ------------------------------------------------------
// The local device of an interface keeps its role while it answers: a marker,
// a self-addressed frame, a Turbo version answer of a local device or an
// answer to the local management address from another station does not move
// it. Such a claim is remembered, and the scan hands the role over when the
// current device stayed silent through all its family probes (a replaced
// adapter).
//
// True when `source` may be interface i's local device now: none is known
// there yet, or it is that device. Otherwise the claim is remembered and
// refused.
bool acceptLocalClaim(int i, const uint8_t* source);
// Starts watching interface i for one scan: forgets earlier claims and
// whether the current local device was heard.
void openLocalWatch(int i);
// Ends the watch of interface i: when the current local device sent nothing
// since openLocalWatch and another station claimed the role meanwhile, that
// station becomes the local device (scanStates[i].localMac) and true is
// returned, so that the scan probes again.
bool adoptLocalChallenger(int i);

// ---- Local-device observer -------------------------------------------------------
// Sees every frame taken by receiveAnyFrame and waitForLocalReply on
// interface i; returns true when the frame was self-addressed by the
// interface's local device (or by the first station to claim the role).
bool observeLocalDevice(int i, const uint8_t* frame, uint32_t length);
// Installs observeLocalDevice as the packet interface's observer.
void installNetworkHooks();
// The observer's local parameters probe (a statistics answer from the local
// device starts it) takes every frame its nested receives see. It runs at most
// once per interface between two calls of this function (the timer calls it at
// the start of every tick, a scan outside the timer at its start), and never
// while busyFlag is set, unless the scan's own discovery is the one receiving.
void armLocalParametersProbe();
// While one exists, the observer's probe may run though busyFlag is set: the
// scan's HomePlug 1.0 discovery, not another exchange, is waiting for frames.
class DiscoveryProbeScope {
  public:
    DiscoveryProbeScope();
    ~DiscoveryProbeScope();
    DiscoveryProbeScope(const DiscoveryProbeScope&) = delete;
    DiscoveryProbeScope& operator=(const DiscoveryProbeScope&) = delete;

  private:
    bool previous_;
};

// ---- Exchanges with waits ----------------------------------------------------------
// Clears turboLocalAnswered, asks for the Turbo version, drains for 100 ms.
bool probeTurbo();
// Waits up to 200 ms for a parameters response (type 0x08): from `mac`, or
// with `anyOther` from any source but the local device (copied into `mac`).
bool waitForParametersResponse(uint8_t mac[6], bool anyOther);
bool probeDevice(uint8_t mac[6], bool anyOther);
// Asks interface i's local device for its local parameters (3 attempts).
void probeLocalParameters(int i);
// Sets a network key (and the settings) on a HomePlug 1.0 device; returns 1
// only when the local device then reports a parameters block equal to the
// stored one (verification runs only for a broadcast with key select not 0).
int setNetworkKey(int i, const uint8_t* src, const uint8_t* dst, uint8_t keySelect,
                  const uint8_t key[8], uint8_t settings3, bool withSettings,
                  bool noSettingsUpdate);
// Waits up to 3700 ms for a key confirmation; `mac` may be broadcast and
// receives the confirming device's MAC. Result 4 (AV), 2 (1.0/Turbo) or 0.
int waitForKeyConfirmation(uint8_t mac[6]);
// Hands `newKey` to one remote device under its device key (16-byte keys
// with an AV local device, else 8). Result 4, 2 (confirmed), 1 (answered
// the probe) or 0; `target` holds the answering device's MAC afterwards.
int sendEncryptedKey(uint8_t target[6], const uint8_t* deviceKey, const uint8_t* newKey);
// Sets `key` on the local Turbo device; result 2 or 0.
int setTurboKey(const uint8_t key[8]);

// Returns the state of this file-set (the observer's nesting guard) to start.
void resetHp10Frames();
