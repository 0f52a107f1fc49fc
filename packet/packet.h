#pragma once
// The packet interface: the only place halyard touches the network. Interfaces
// are addressed by their index (0..7) in interfaceTable.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr uint16_t kEtherTypeHp10 = 0x887B;
constexpr uint16_t kEtherTypeAv = 0x88E1;

bool enumerateInterfaces();
// The name the interface at `index` was opened by ("eth0"); empty when there is none.
std::string interfaceName(int index);
bool openAllInterfaces();
bool openInterface(int index);
bool closeInterface(int index);
bool closeAllInterfaces();
// Sends one frame; lengths below 60 go out as 60 bytes taken from the caller's
// zero-filled buffer (which must hold 60 bytes); above 1514 is refused.
bool sendFrame(int index, const uint8_t* bytes, size_t length);
struct ReceivedFrameBuffer;
// Takes at most one frame; returns &ReceivedFrame or nullptr. Does not pass
// the frame to the local-device observer (receiveAnyFrame and
// waitForLocalReply do).
ReceivedFrameBuffer* receiveFrame(int index);
// Puts `saved` back into the shared frame buffer (ReceivedFrame): a caller
// that ran exchanges of its own while it handled a frame gives the frame back.
void restoreReceivedFrame(const std::vector<uint8_t>& saved);
// Polls every interface once; copies a HomePlug frame into `out` (1514 bytes).
bool receiveAnyFrame(uint8_t* out, uint32_t* outLength);
bool waitForLocalReply(int index, uint32_t timeoutMs);

// The local-device observer hook. The network subsystem installs its observer
// at start-up; it sees every frame that receiveAnyFrame and waitForLocalReply
// take, before anything else, and returns true when the frame was
// self-addressed (destination equals source).
using LocalDeviceObserver = std::function<bool(int index, const uint8_t* frame, uint32_t length)>;
void setLocalDeviceObserver(LocalDeviceObserver observer);

// The driver failed while a frame was sent or read (it threw). The program
// registers how that is told (the window: a box; halyardctl: a line on
// stderr); unregistered, nothing is told. The send or read fails either way.
enum class PacketError { Send, Read };
using PacketErrorSink = std::function<void(PacketError)>;
void setPacketErrorSink(PacketErrorSink sink); // empty: none

// Why capture could not start on some interface during the last open, when the
// cause was a lack of permission (empty otherwise). The user is told how to get it.
const std::string& capturePermissionProblem();
// The advice shown with the "not detected" message when capture was refused:
// what to do, with the exact command (join the group halyard, or grant the
// capture helper of a build tree its right). From the packet driver.
std::string capturePermissionAdvice();
// `path` as one shell word: quoted unless it holds only characters a shell
// leaves alone.
std::string shellWord(const std::string& path);
