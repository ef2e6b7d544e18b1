// The soak, run by hand only: it is skipped unless OVUSB_SOAK_MINUTES is
// set, e.g.
//   OVUSB_SOAK_MINUTES=30 build/tests/vm/vm_tests --gtest_filter='Soak.*'
// (OVUSB_SOAK_REPLUG_SECONDS=N replugs every N seconds instead.)
// Two clients for that long: one binds the disk, reads sectors and
// compares them with the image, unbinds, again and again; the other holds
// the keyboard and keeps an interrupt IN request waiting while keys are
// pressed through QMP. Every few minutes the disk or the keyboard is
// removed (device_del) and added back. The server's resident memory (by
// kind of mapping), threads and descriptors are sampled every minute and
// after each replug, and printed; its memory must not grow after the
// warm-up, and at the end its RSS, threads and descriptors are compared
// with their values before the clients came, and the host's usb-storage
// must have the disk. Each sample's mappings (smaps-N.txt) and the server's
// log (ovusbd.log) are written to the run directory, which a failure keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"
#include "tests/vm/guest.h"

#ifndef OVUSB_VM_SERVER
#define OVUSB_VM_SERVER "(ovusbd is not built)"
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDisk = 23, kKeyboard = 12;
constexpr uint32_t kDiskBytes = 16u << 20, kSector = 512, kBlocks = kDiskBytes / kSector;

uint8_t patternByte(uint32_t offset) {
  const uint32_t sector = offset / kSector, at = offset % kSector;
  if (at < 4) return uint8_t(sector >> (8 * at));
  return uint8_t(sector * 7 + at * 13 + (at >> 8));
}

Bytes expected(uint32_t lba, uint32_t blocks) {
  Bytes bytes(size_t(blocks) * kSector);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = patternByte(lba * kSector + uint32_t(i));
  return bytes;
}

struct Usage {
  long rssKb = -1, threads = -1, fds = -1;
};

// The server's resident memory by kind of mapping, from /proc/PID/smaps:
// the main heap, malloc's per-thread arenas (an anonymous read-write part
// followed by its reserved PROT_NONE rest), thread stacks (a PROT_NONE guard
// below a read-write part), other anonymous memory (malloc's mmap'd blocks,
// static data) and file mappings (the program and its libraries); hugeKb is
// the part of all these that transparent huge pages back.
struct Sample {
  double minutes = 0;
  std::string when;
  Usage usage;
  long heapKb = 0, arenaKb = 0, stackKb = 0, anonKb = 0, fileKb = 0, hugeKb = 0;
  int arenas = 0, stacks = 0;
  std::string mappings;  // "start-end perms name sizeKb rssKb" lines
};

Sample sampleServer(vmguest::Guest& guest, double minutes, const std::string& when) {
  Sample s;
  s.minutes = minutes;
  s.when = when;
  std::string out;
  guest.run("p=$(pidof ovusbd); echo $(ls /proc/$p/task | wc -l) $(ls /proc/$p/fd | wc -l); "
            "awk '/^[0-9a-f]+-[0-9a-f]+ /{if(h!=\"\")print h, s, r, t; h=$1\" \"$2\" \"($6==\"\"?\"-\":$6); s=0; r=0; t=0} "
            "/^Size:/{s=$2} /^Rss:/{r=$2} /^AnonHugePages:/{t=$2} END{print h, s, r, t}' /proc/$p/smaps",
            &out);
  std::sscanf(out.c_str(), "%ld %ld", &s.usage.threads, &s.usage.fds);
  struct Mapping {
    std::string perms, name;
    long sizeKb = 0, rssKb = 0, hugeKb = 0;
  };
  std::vector<Mapping> list;
  size_t at = out.find('\n');
  s.mappings = at == std::string::npos ? "" : out.substr(at + 1);
  while (at != std::string::npos && at + 1 < out.size()) {
    const size_t next = out.find('\n', at + 1);
    const std::string line = out.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    char range[64], perms[8], name[512];
    Mapping m;
    if (std::sscanf(line.c_str(), "%63s %7s %511s %ld %ld %ld", range, perms, name, &m.sizeKb, &m.rssKb,
                    &m.hugeKb) != 6) {
      continue;
    }
    m.perms = perms;
    m.name = name;
    list.push_back(m);
  }
  // A thread stack's guard is one page; an arena's reserved rest is larger.
  const auto guard = [&](size_t i) {
    return i < list.size() && list[i].name == "-" && list[i].perms == "---p" && list[i].sizeKb == 4;
  };
  const auto reserved = [&](size_t i) {
    return i < list.size() && list[i].name == "-" && list[i].perms == "---p" && list[i].sizeKb > 4;
  };
  // The resident size is the sum over the mappings: VmRSS in
  // /proc/PID/status lags by up to 64 pages per thread on the guest's
  // kernel, which counts per thread and adds up now and then.
  s.usage.rssKb = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const Mapping& m = list[i];
    s.usage.rssKb += m.rssKb;
    s.hugeKb += m.hugeKb;
    if (m.name == "[heap]") {
      s.heapKb += m.rssKb;
    } else if (m.name[0] == '/') {
      s.fileKb += m.rssKb;
    } else if (m.name == "-" && m.perms == "rw-p" && i > 0 && guard(i - 1)) {
      s.stackKb += m.rssKb;
      ++s.stacks;
    } else if (m.name == "-" && m.perms == "rw-p" && reserved(i + 1)) {
      s.arenaKb += m.rssKb;
      ++s.arenas;
    } else {
      s.anonKb += m.rssKb;
    }
  }
  return s;
}

std::string describe(const Sample& s) {
  char line[320];
  std::snprintf(line, sizeof line,
                "%5.1f min %-15s RSS %5ld KiB (heap %4ld, %2d arenas %4ld, %2d stacks %4ld, anon %4ld, files %4ld; "
                "huge pages %4ld), threads %2ld, fds %2ld",
                s.minutes, s.when.c_str(), s.usage.rssKb, s.heapKb, s.arenas, s.arenaKb, s.stacks, s.stackKb,
                s.anonKb, s.fileKb, s.hugeKb, s.usage.threads, s.usage.fds);
  return line;
}

// Waits for an announcement of the device in the given state.
bool waitAnnounced(ovclient::OvClient& client, uint32_t address, int state, int timeoutMs) {
  ovclient::Message m;
  while (client.waitFor(kMsgDeviceAnnounce, &m, timeoutMs)) {
    ovclient::DeviceAnnouncement a;
    if (ovclient::parseDeviceAnnouncement(m, &a) && a.address == address && a.state == state) return true;
  }
  return false;
}

// A wait in slices of two seconds with a keep-alive after each: the server
// drops a client that sends nothing for "PingTimeout" (9) seconds, and a
// client waits longer than that for a removed device to come back. False
// at the deadline or once the connection is closed.
bool waitAlive(ovclient::OvClient& client, const std::function<bool(int)>& wait, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    if (wait(int(std::min(left, 2000L)))) return true;
    if (client.waitClosed(0)) return false;
    client.keepAlive();
  }
}

// A connected client past its hello, or null.
std::unique_ptr<ovclient::OvClient> connectClient(vmguest::Guest& guest, const char* name) {
  auto client = std::make_unique<ovclient::OvClient>();
  ovclient::HelloReply hello;
  if (!client->connectTo("127.0.0.1", guest.port(), 10000) || !client->hello(name, "soak", &hello, 10000)) return nullptr;
  return client;
}

// Binds with keep-alives while the server works on it.
bool bindAlive(ovclient::OvClient& client, uint32_t address, int timeoutMs) {
  ovclient::Message request, reply;
  request.type = kMsgBindDevice;
  request.deviceAddress = address;
  ovclient::BindResult bound;
  return client.send(request) &&
         waitAlive(client, [&](int ms) { return client.waitFor(kMsgBindResult, &reply, ms); }, timeoutMs) &&
         ovclient::parseBindResult(reply, &bound) && bound.result == 1;
}

// Messages nobody waits for (announcements of earlier rounds) go.
void dropBacklog(ovclient::OvClient& client) {
  ovclient::Message m;
  while (client.receive(&m, 0) == 1) {
  }
}

struct Counters {
  std::atomic<long> rounds{0}, reads{0}, matched{0}, mismatched{0}, failedReads{0}, failedBinds{0};
  std::atomic<long> reports{0}, keyboardErrors{0};
  std::atomic<long> connectionsLost{0}, failedConnects{0};
};

}  // namespace

TEST(Soak, BindReadUnbindAndKeyboardWithReplugs) {
  const char* minutesText = getenv("OVUSB_SOAK_MINUTES");
  if (minutesText == nullptr) GTEST_SKIP() << "run by hand: set OVUSB_SOAK_MINUTES";
  const double minutes = atof(minutesText);
  vmguest::Guest guest;
  const std::string image = guest.runDir() + "/disk.img";
  {
    std::ofstream out(image, std::ios::binary);
    Bytes chunk(1 << 20);
    for (uint32_t base = 0; base < kDiskBytes; base += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = patternByte(base + uint32_t(i));
      out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(chunk.size()));
    }
  }
  // A -blockdev node outlives the device_del of its usb-storage device.
  ASSERT_TRUE(guest.boot({{OVUSB_VM_SERVER, "/usr/sbin/ovusbd"}},
                         {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15", "-blockdev",
                          "driver=raw,node-name=disk,file.driver=file,file.filename=" + image, "-device",
                          "usb-kbd,bus=xhci.0,port=2,id=kbd0", "-device",
                          "usb-storage,bus=xhci.0,port=3,drive=disk,id=storage0,serial=VMDISK01"},
                         int(minutes * 60) + 900))
      << guest.error();
  std::string why;
  ASSERT_TRUE(vmguest::startServer(guest, "AutoAttachToKernel=1\n", &why)) << why;
  const auto started = Clock::now();
  std::vector<Sample> samples;
  const auto sample = [&](const std::string& when) {
    const double at = std::chrono::duration<double>(Clock::now() - started).count() / 60;
    samples.push_back(sampleServer(guest, at, when));
    std::ofstream(guest.runDir() + "/smaps-" + std::to_string(samples.size() - 1) + ".txt") << samples.back().mappings;
    std::printf("soak: %s\n", describe(samples.back()).c_str());
    std::fflush(stdout);
  };
  sample("start");
  const Usage before = samples.back().usage;

  const auto end = started + std::chrono::milliseconds(long(minutes * 60000));
  std::atomic<bool> stop{false};
  Counters counters;

  // A client whose connection was closed counts the loss and connects
  // again; one that cannot connect stops.
  const auto reconnect = [&](std::unique_ptr<ovclient::OvClient>& client, const char* name) {
    if (client && !client->waitClosed(0)) return true;
    if (client) ++counters.connectionsLost;
    client = connectClient(guest, name);
    if (!client) ++counters.failedConnects;
    return client != nullptr;
  };

  std::thread diskClient([&] {
    std::unique_ptr<ovclient::OvClient> client;
    for (uint32_t round = 0; !stop && reconnect(client, "soak-disk");) {
      dropBacklog(*client);
      if (!bindAlive(*client, kDisk, 60000)) {
        ++counters.failedBinds;
        // Until the disk is back and free.
        waitAlive(*client, [&](int ms) { return waitAnnounced(*client, kDisk, 1, ms); }, 60000);
        continue;
      }
      {
        bulkonly::Session disk(ovclient::bulkPipes(*client, kDisk, 0x81, 0x02, 20000));
        const uint32_t blocks = 1 + round % 128, lba = (round * 7919u) % (kBlocks - blocks);
        Bytes data;
        ++counters.reads;
        if (disk.waitReady(20) && disk.read(lba, uint16_t(blocks), &data)) {
          ++(data == expected(lba, blocks) ? counters.matched : counters.mismatched);
        } else {
          ++counters.failedReads;
        }
      }
      client->unbind(kDisk);
      ovclient::Message notice;
      waitAlive(*client, [&](int ms) { return client->waitFor(kMsgDeviceUnbound, &notice, ms); }, 60000);
      ++counters.rounds;
      ++round;
    }
  });

  std::thread keyboardClient([&] {
    std::unique_ptr<ovclient::OvClient> client;
    uint32_t tag = 1;
    while (!stop && reconnect(client, "soak-kbd")) {
      dropBacklog(*client);
      if (!bindAlive(*client, kKeyboard, 60000)) {
        ++counters.keyboardErrors;
        waitAlive(*client, [&](int ms) { return waitAnnounced(*client, kKeyboard, 1, ms); }, 60000);
        continue;
      }
      ovclient::BulkRequest report;
      report.endpoint = 0x81;
      report.urbType = ovclient::kUrbTypeInterrupt;
      report.length = 8;
      while (!stop) {
        client->sendTagged(kMsgBulkInterruptTransfer, ovclient::encodeBulkTransfer(report), kKeyboard, tag);
        ovclient::Message m;
        if (!waitAlive(*client, [&](int ms) { return client->waitTagged(kMsgBulkInterruptTransferReply, tag, &m, ms); },
                       60000)) {
          break;
        }
        ++tag;
        ovclient::TransferReply r;
        if (!ovclient::parseTransferReply(m, &r) || r.result < 0) break;  // the keyboard went away
        ++counters.reports;
      }
      ++tag;
      client->unbind(kKeyboard);
    }
  });

  // Keys every half second; a replug every replugSeconds, the disk and the
  // keyboard in turn.
  // OVUSB_SOAK_REPLUG_SECONDS sets another interval.
  const char* replugText = getenv("OVUSB_SOAK_REPLUG_SECONDS");
  const int replugSeconds = replugText != nullptr ? std::max(5, atoi(replugText)) : minutes >= 10 ? 180 : 60;
  auto nextReplug = Clock::now() + std::chrono::seconds(replugSeconds);
  auto nextSample = Clock::now() + std::chrono::seconds(60);
  int replugs = 0, disks = 0, keyboards = 0;
  // Warm-up ends with the first replug of both devices: by then every kind
  // of thread has run and malloc has its arenas.
  size_t warmedUp = SIZE_MAX;
  std::string reply;
  for (bool down = true; Clock::now() < end; down = !down) {
    guest.qmpOk("input-send-event", std::string(R"({"events": [{"type": "key", "data": {"down": )") +
                                        (down ? "true" : "false") +
                                        R"(, "key": {"type": "qcode", "data": "a"}}}]})");
    if (Clock::now() >= nextReplug) {
      const bool disk = replugs % 2 == 0;
      const std::string old = disk ? "storage" + std::to_string(disks) : "kbd" + std::to_string(keyboards);
      const std::string fresh = disk ? "storage" + std::to_string(++disks) : "kbd" + std::to_string(++keyboards);
      EXPECT_TRUE(guest.qmpOk("device_del", R"({"id": ")" + old + R"("})", &reply)) << reply;
      EXPECT_TRUE(guest.waitEvent(R"("device": ")" + old + "\"", 60000)) << old;
      const std::string add = disk ? R"({"driver": "usb-storage", "bus": "xhci.0", "port": "3", "drive": "disk", )"
                                     R"("serial": "VMDISK01", "id": ")" + fresh + "\"}"
                                   : R"({"driver": "usb-kbd", "bus": "xhci.0", "port": "2", "id": ")" + fresh + "\"}";
      EXPECT_TRUE(guest.qmpOk("device_add", add, &reply)) << reply;
      ++replugs;
      nextReplug = Clock::now() + std::chrono::seconds(replugSeconds);
      sample(disk ? "disk replug" : "keyboard replug");
      if (replugs == 2) warmedUp = samples.size() - 1;
    }
    if (Clock::now() >= nextSample) {
      sample("");
      nextSample = Clock::now() + std::chrono::seconds(60);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  stop = true;
  // A key ends the keyboard client's last wait.
  guest.qmpOk("input-send-event", R"({"events": [{"type": "key", "data": {"down": true, "key": {"type": "qcode", "data": "b"}}}]})");
  diskClient.join();
  keyboardClient.join();

  std::string out;
  EXPECT_EQ(guest.run("for i in $(seq 600); do [ -b /dev/$(ls /sys/bus/usb/devices/2-3/2-3:1.0/host*/target*/*/block "
                      "2>/dev/null | head -n 1) ] && exit 0; sleep 0.1; done; exit 1",
                      &out, 90000),
            0)
      << "the host's usb-storage does not have the disk\n"
      << vmguest::serverLog(guest);
  // The clients are gone: their connection threads end.
  guest.run("for i in $(seq 300); do [ $(ls /proc/$(pidof ovusbd)/task | wc -l) -le " + std::to_string(before.threads) +
                " ] && exit 0; sleep 0.1; done; exit 1",
            &out, 60000);
  sample("clients gone");
  // The server's log stays in the run directory (kept after a failure);
  // its client removals, with their reasons, are printed.
  {
    const std::string log = vmguest::serverLog(guest);
    std::ofstream(guest.runDir() + "/ovusbd.log") << log;
    int removals = 0;
    for (size_t at = 0; at < log.size();) {
      const size_t end = std::min(log.find('\n', at), log.size());
      const std::string line = log.substr(at, end - at);
      if (line.find("successfully removed") != std::string::npos && ++removals <= 20) {
        std::printf("soak: server: %s\n", line.c_str());
      }
      at = end + 1;
    }
    std::printf("soak: %d client removals in the server's log\n", removals);
  }
  const Usage after = samples.back().usage;
  long peak = -1;  // the largest RSS after the warm-up
  for (size_t i = warmedUp == SIZE_MAX ? samples.size() : warmedUp + 1; i < samples.size(); ++i)
    peak = std::max(peak, samples[i].usage.rssKb);
  char summary[640];
  std::snprintf(summary, sizeof summary,
                "%.1f min: %ld bind/read/unbind rounds, %ld reads (%ld matched, %ld differed, %ld failed), %ld failed "
                "binds, %ld keyboard reports, %ld keyboard rebinds, %ld connections lost, %ld failed connects, %d replugs "
                "(%d disk, %d keyboard); "
                "RSS %ld -> %ld KiB (after the warm-up %ld, at most %ld since), threads %ld -> %ld, fds %ld -> %ld",
                minutes, counters.rounds.load(), counters.reads.load(), counters.matched.load(),
                counters.mismatched.load(), counters.failedReads.load(), counters.failedBinds.load(),
                counters.reports.load(), counters.keyboardErrors.load(), counters.connectionsLost.load(),
                counters.failedConnects.load(), replugs, disks, keyboards, before.rssKb,
                after.rssKb, warmedUp == SIZE_MAX ? -1 : samples[warmedUp].usage.rssKb, peak, before.threads,
                after.threads, before.fds, after.fds);
  std::printf("soak: %s\n", summary);
  RecordProperty("soak", summary);
  EXPECT_EQ(counters.mismatched.load(), 0);
  EXPECT_EQ(counters.connectionsLost.load(), 0);
  EXPECT_EQ(counters.failedConnects.load(), 0);
  EXPECT_GT(counters.matched.load(), 0);
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.fds, before.fds);
  // The server's memory does not grow with the rounds: after the warm-up it
  // stays within 1 MiB of where the warm-up left it, and once the clients
  // are gone it is within 2 MiB of where it started (the difference is
  // malloc's arenas for the threads that ran meanwhile, which it keeps
  // for the next ones).
  if (warmedUp != SIZE_MAX) {
    EXPECT_LE(peak, samples[warmedUp].usage.rssKb + 1024);
  }
  EXPECT_LE(after.rssKb, before.rssKb + 2048);
}
