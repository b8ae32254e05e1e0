// Writes the seed corpora under fuzz/corpus/: real packets, exchanges,
// advertisements, key texts and credentials, each in the input format of
// its harness. Run from the repository root after changing a format:
//   build/fuzz/make_seeds fuzz/corpus
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "quovel/cipher.hpp"
#include "quovel/crc.hpp"
#include "quovel/packet.hpp"

namespace {

using quovel::Bytes;
namespace fs = std::filesystem;

const quovel::AesKey kKey(quovel::AesKey::Array{0x3c, 0x91, 0x05, 0xe2, 0x7a, 0x48, 0xd6, 0x1f,
                                                0xb0, 0x6e, 0x23, 0xc9, 0x84, 0x5d, 0xf7, 0x12});

fs::path g_root;

void write(const std::string& harness, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / harness;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void write(const std::string& harness, const std::string& name, std::string_view text) {
  write(harness, name, Bytes(text.begin(), text.end()));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A reply packet with its CR LF.
Bytes packet(std::uint8_t command, std::uint8_t status, const Bytes& data = {}) {
  return quovel::build_packet(quovel::LockVersion{}, command, cat({{command, status}, data}), kKey)
      .value();
}

Bytes frame(std::uint8_t command, std::uint8_t status, const Bytes& data = {}) {
  Bytes p = packet(command, status, data);
  p.resize(p.size() - 2);
  return p;
}

// The operations harness's genuine reply: command choice, status choice,
// header command, data, then no corruption.
Bytes op_reply(std::uint8_t command_choice, std::uint8_t status_choice, const Bytes& data) {
  return cat({{2, command_choice, status_choice,
               command_choice == 0 ? std::uint8_t{0x14} : std::uint8_t{0x55},
               static_cast<std::uint8_t>(data.size())},
              data,
              {0x80, 0x00}});
}

void packet_seeds() {
  write("packet", "status_reply", frame(0x14, 0x01, {0x64, 0x00}));
  write("packet", "handshake_reply", frame(0x55, 0x01, {0x12, 0x34, 0x56, 0x78}));
  write("packet", "unlock_reply_with_crlf", packet(0x47, 0x01));
  write("packet", "refused_reply", frame(0x58, 0x00));
  // The marker is not checked on replies, but the CRC covers it.
  Bytes other_marker = frame(0x14, 0x01, {0x00, 0x01});
  other_marker[10] = 0x58;
  other_marker.back() = quovel::crc8(quovel::ByteView(other_marker).first(other_marker.size() - 1));
  write("packet", "marker_not_aa", other_marker);
  write("packet", "empty_payload",
        Bytes{0x7f, 0x5a, 0x05, 0x03, 0x02, 0x00, 0x01, 0x00, 0x01, 0x14, 0xaa, 0x00, 0xa6});
  // Read as a request: version, command, corruption (the CRC byte), plaintext.
  write("packet", "request_to_build",
        Bytes{0x05, 0x03, 0x02, 0x00, 0x01, 0x00, 0x01, 0x14, 28, 0x01, 'Z', 'O', 'L', 'M', 'E',
              'R', 'I'});
}

void frames_seeds() {
  const Bytes a = packet(0x14, 0x01, {0x64, 0x01});
  const Bytes b = packet(0x55, 0x01, {1, 2, 3, 4, 5});
  const auto chunk = [](const Bytes& bytes) {
    return cat({{0, static_cast<std::uint8_t>(bytes.size())}, bytes});
  };
  write("frames", "one_packet", cat({chunk(a), {3}}));
  write("frames", "two_packets_one_chunk", cat({chunk(cat({a, b})), {2, 2, 2}}));
  write("frames", "split_in_three",
        cat({chunk(Bytes(a.begin(), a.begin() + 1)),
             {2},
             chunk(Bytes(a.begin() + 1, a.begin() + 6)),
             {2},
             chunk(Bytes(a.begin() + 6, a.end())),
             {3}}));
  write(
      "frames", "garbage_then_7f",
      cat({chunk({0xaa, 0xbb, 0x0d, 0x0a, 0x7f}), {2}, chunk(Bytes(a.begin() + 1, a.end())), {3}}));
  write("frames", "long_false_start",
        cat({{1, 10, 5, 3, 2, 0, 1, 0, 1, 0x14, 0xaa, 0xff}, chunk(b), {3}}));
}

void operations_seeds() {
  // Lock, unlock key 1234, clock 1700000000, default version.
  const Bytes lock_setup{0, 0, 0, 0x04, 0xd2, 0, 0, 0, 0, 0x65, 0x53, 0xf1, 0x00, 0};
  Bytes unlock_setup = lock_setup;
  unlock_setup[0] = 1;
  const Bytes ps{0xff, 0xff, 0xff, 0x00};
  write("operations", "lock_exchange",
        cat({lock_setup, {0}, op_reply(1, 0, ps), op_reply(2, 0, {}), {1, 0}}));
  write("operations", "unlock_refused_then_done",
        cat({unlock_setup, {0}, op_reply(1, 0, ps), op_reply(2, 0xc0, {}), op_reply(3, 0, {})}));
  Bytes system_clock_setup = lock_setup;
  std::fill(system_clock_setup.begin() + 5, system_clock_setup.begin() + 13, 0);
  write("operations", "system_clock_exchange",
        cat({system_clock_setup, {0}, op_reply(1, 0, ps), op_reply(2, 0, {})}));
  write("operations", "status_locked", cat({lock_setup, {0}, op_reply(0, 0, {0x64, 0x00})}));
  write("operations", "wrong_command_then_restart",
        cat({lock_setup, {0}, op_reply(2, 0, {}), {0}, op_reply(1, 0, {1, 2, 3})}));
  // Custom version, a clock before 1970, and a move half way.
  write("operations", "custom_version_old_clock",
        cat({{1,    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
              0xff, 0xff, 1,    3,    1,    7,    0,    2,    0,    3},
             {0},
             {6},
             op_reply(1, 0, {9, 9, 9, 9, 9})}));
}

void advertisement_seeds() {
  const Bytes address{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  write("advertisement", "direct_stateful",
        cat({{0x05, 0x03, 0x02, 0x01, 0x55, 0x00, 0x00, 0x00, 0x00}, address}));
  write("advertisement", "offset_stateless",
        cat({{0x34, 0x12, 0x00, 0x00, 0x03, 0x07, 0x00, 0x09, 0x00}, address}));
  write("advertisement", "offset_stateful_long",
        cat({{0x34, 0x12, 0x00, 0x00, 0x05, 0x04, 0x00, 0x02, 0x06, 0x65},
             Bytes(18, 0x11),
             address}));
  write("advertisement", "dfu", cat({{0x12, 0x19}, Bytes(7, 0), address}));
  // Selection: three entries (0x0305, 0x1234, 0x1912), then an expected
  // address taken from the second entry.
  const Bytes stateful_data = cat({{0x02, 0x00, 0x32, 0x00, 0x00, 0x00, 0x00}, address});
  const Bytes other_data =
      cat({{0x00, 0x00, 0x05, 0x04, 0x00, 0x02, 0x01, 0x50, 0x00}, Bytes{1, 2, 3, 4, 5, 6}});
  write("advertisement", "selection_map",
        cat({{3, 0, static_cast<std::uint8_t>(stateful_data.size())},
             stateful_data,
             {3, 0x12, 0x34, static_cast<std::uint8_t>(other_data.size())},
             other_data,
             {1, 13},
             Bytes(13, 0),
             {1, 1, 0x55, 0xaa, 0x55, 0xaa, 0x55, 0xaa, 0x55}}));
}

void keys_seeds() {
  write("keys", "aes_key_upper", "00112233445566778899AABBCCDDEEFF");
  write("keys", "aes_key_colons", "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff\n");
  write("keys", "aes_key_odd", "0011223344556677889\u00a0aabbccddeeff0");
  write("keys", "unlock_key_max", " \t+4294967295\r\n");
  write("keys", "unlock_key_zeros", "000123");
  write("keys", "credential_list", " MSwyLDMsNCw4MQ==..\n");
  write("keys", "credential_bad_piece", "IDcsMzAw");
  write("keys", "sixteen_bytes", Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
}

void tracker_seeds() {
  write("tracker", "advertise_lock_unlock",
        Bytes{0, 3, 100, 0, 0x00, 80, 5, 3, 2,  // stateful locked, battery 80, at 100
              2, 1,                             // start unlock
              4,                                // failed
              7,                                // unavailable
              3, 3, 200, 1,                     // acknowledged unlock at 200
              6, 3, 250, 0, 3,    100});        // poll at 250, offline after 100
  write("tracker", "blind_time_and_expiry",
        Bytes{1, 0, 0x02, 0x58, 1,   3,   7,    1,     // stateless at 600
              5, 3, 255,                               // credit 255
              6, 0, 0x04, 0x4c, 0,   0,   0x01, 0xf4,  // poll at 1100 after 500
              6, 2, 0,    1,                           // poll near the end of time, offline 0
              8, 6, 'u',  'n',  'l', 'o', 'c',  'k',  8, 5, 'L', 'o', 'c', 'k', '\n'});
  write("tracker", "parsed_payload",
        Bytes{0, 1, 0, 0, 0,    0,    0,    0,    0,    0x10, 4, 15, 0x05, 0x03, 0x02, 0x01, 0x55,
              0, 0, 0, 0, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 2, 0,  2,    1,    3,    2,    0});
  write("tracker", "status_after_failure",
        Bytes{1, 3, 100, 1,  5, 3,   2,           // stateless at 100
              2, 1, 4,   10,                      // start unlock, failed, status query failed
              2, 0, 4,   9,  3, 150, 2,   7,      // start lock, failed, "UNKNOWN:7" at 150
              9, 3, 160, 1,                       // "UNLOCKED" at 160
              9, 3, 170, 3,  3, 'L', 'O', 'C'});  // any other text at 170
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds CORPUS_DIR\n";
    return 2;
  }
  g_root = argv[1];
  packet_seeds();
  frames_seeds();
  operations_seeds();
  advertisement_seeds();
  keys_seeds();
  tracker_seeds();
  return 0;
}
