// The terminal server's side of RFC 2217, for the simulator's network front end: separates the
// client's data from its Telnet commands, answers option negotiation and COM-PORT-OPTION
// requests, and escapes the data sent back. It knows nothing of sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelsim {

class Rfc2217Server {
  public:
    // The line settings a client asked for; 0 until it asked.
    struct Settings {
        std::uint32_t baud = 0;
        int dataBits = 0;
        int parity = 0;   // as RFC 2217 counts: 1 none, 2 odd, 3 even, 4 mark, 5 space
        int stopBits = 0; // 1 one, 2 two, 3 one and a half
        int control = 0;  // the last flow-control choice: 1 none, 2 XON/XOFF, 3 hardware
    };

    // `baud` is what the simulated line runs at: the answer to a client that only asks.
    explicit Rfc2217Server(std::uint32_t baud) : lineBaud_(baud) {}

    // Bytes from the client. Returns the data for the sensor; answers for the client are
    // appended to `answers`.
    std::vector<std::uint8_t> feed(const std::uint8_t* data, std::size_t n,
                                   std::vector<std::uint8_t>& answers);
    // Data for the client, IAC doubled, appended to `out`.
    static void escape(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);

    const Settings& requested() const { return requested_; }
    int purges() const { return purges_; }

  private:
    void option(std::uint8_t verb, std::uint8_t opt, std::vector<std::uint8_t>& answers);
    void subnegotiation(std::vector<std::uint8_t>& answers);

    enum class Parse { Data, Iac, Option, Sub, SubIac };
    Parse state_ = Parse::Data;
    std::uint8_t verb_ = 0;
    static constexpr std::size_t kMaxSubnegotiation = 256;
    void keepSub(std::uint8_t c);
    std::vector<std::uint8_t> sub_;
    bool usRefused_[256] = {}; // refused once: not refused again
    bool themRefused_[256] = {};
    bool us_[256] = {};   // options on at our side
    bool them_[256] = {}; // options on at the client's side
    std::uint32_t lineBaud_;
    Settings requested_;
    int purges_ = 0;
};

} // namespace zelsim
