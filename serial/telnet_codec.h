// The byte stream of a network serial port, without the socket: what the peer sends is split
// into data for the reader and Telnet commands (RFC 854/855, RFC 2217's COM-PORT-OPTION), the
// answers to send back are collected, and what we send is framed. A peer is untrusted: the
// data queue is bounded as a serial driver's is (the rest counted, not kept), a subnegotiation
// longer than any RFC 2217 message breaks the stream, and an option refused once is not
// answered again. Plain C++, so it is tested and fuzzed without a network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A serial driver's input queue: what the receive path may hold before bytes are lost.
inline constexpr std::size_t kNetInputQueueBytes = 4096;
// The longest RFC 2217 message is a baud rate (option, command, four bytes); a few hundred
// bytes is ample for anything a server may add.
inline constexpr std::size_t kTelnetMaxSubnegotiation = 256;

namespace telnet {
constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                        kSe = 240;
constexpr unsigned char kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44;
// COM-PORT-OPTION commands from the client; the server answers each with its code + 100.
constexpr unsigned char kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                        kSetControl = 5, kPurgeData = 12;
constexpr unsigned char kServerReply = 100;
constexpr unsigned char kControlNoFlow = 1, kControlHardwareFlow = 3;
constexpr unsigned char kPurgeReceive = 1, kPurgeTransmit = 2;
} // namespace telnet

class TelnetCodec {
  public:
    // `telnet` false: the bytes are data as they are (a raw tcp:// port).
    explicit TelnetCodec(bool telnet, std::size_t inputLimit = kNetInputQueueBytes);

    // Takes bytes from the peer. Once broken, nothing more is taken.
    void feed(const char* data, std::size_t size);

    // Data for the reader, oldest first.
    std::size_t waiting() const { return in_.size(); }
    std::size_t take(char* out, std::size_t count);
    void clearInput() { in_.clear(); }
    // Data bytes that came while the queue was full, dropped as a driver drops them.
    long long discarded() const { return discarded_; }

    // The peer broke the protocol in a way no valid server does (a subnegotiation without end).
    bool broken() const { return !broken_.empty(); }
    const std::string& brokenReason() const { return broken_; }

    // Bytes to send: answers to the peer's option requests and what was asked below.
    std::string takeOutgoing();
    std::size_t outgoingSize() const { return out_.size(); }

    // ---- what the client asks ----
    // Data framed for the wire (IAC doubled under Telnet).
    std::string encodeData(const char* data, std::size_t size) const;
    // Asks to switch an option on: WILL (our side) or DO (the server's side).
    void askOption(unsigned char verb, unsigned char option);
    // A COM-PORT-OPTION command with its value.
    void sendComPort(unsigned char command, const std::string& value);
    // A line setting to send once the server speaks RFC 2217, awaited until confirmed.
    void expectSetting(unsigned char command, const std::string& value);

    bool comPortOn() const;
    bool comPortRefused() const { return comPortRefused_; }
    // Sends the expected settings once; true when that happened in this call.
    bool sendSettingsWhenReady();
    bool allSettingsAnswered() const;
    // The first setting the server answered with another value: false when there is none.
    bool settingRefused(unsigned char& command, std::string& wanted, std::string& answered) const;

  private:
    struct OptionState {
        bool on = false;
        bool asked = false;
        bool refused = false; // answered "no" once: not answered again
    };
    struct Setting {
        unsigned char command;
        std::string value;
        bool answered = false;
        std::string answer{};
    };
    enum class Parse { Data, Iac, Option, Sub, SubIac };

    void data(char c);
    void onOption(unsigned char verb, unsigned char option);
    void onSubnegotiation();
    void send(std::initializer_list<unsigned char> bytes);

    bool telnet_;
    std::size_t inputLimit_;
    std::string in_;
    std::string out_;
    long long discarded_ = 0;
    std::string broken_;

    Parse state_ = Parse::Data;
    unsigned char verb_ = 0;
    std::string sub_;
    std::array<OptionState, 256> us_{}, him_{};
    bool comPortRefused_ = false;
    bool settingsSent_ = false;
    std::vector<Setting> want_;
};
