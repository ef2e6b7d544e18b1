// Bulk throughput of a usb-storage disk in the qemu guest, all rows in one
// boot on the same disk:
//   (a) usbfs    READ(10) over bulk-only transport straight through usbfs by
//                ovprobe in the guest (baseline)
//   (b) loopback the same through ovusbd by the ovclient tool in the guest
//   (c) host     the same through ovusbd from the host over qemu's forwarded
//                port
//   (d) kernel   the guest's own usb-storage: the block device read with
//                O_DIRECT (the disk handed to usb-storage for the row and
//                taken from it after)
//   (e) USB/IP   Debian's usbipd in the guest, the disk bound to usbip-host
//                and attached through vhci-hcd over loopback, its block
//                device read as in (d)
// with 1 MiB and 4 KiB reads, each figure the median of three runs, once
// with the drive throttled to about a USB 2.0 stick's 35 MB/s and once
// unthrottled. Every run checks the FNV-1a of the disk's first MiB as read
// against the image's. The (b) rows also count the context switches of the
// server's threads (each voluntary one is a sleep, so a wake-up) and of the
// client per bulk transfer. Run by hand as root (it boots the guest twice
// and takes minutes):
//   build/bench/bench_vm_bulk [MIB]          (default 64 MiB per run)
// With OVUSB_BENCH_PROFILE=1 the unthrottled boot ends with a system-wide
// perf profile (software clock) of loopback reads, 4 KiB and 1 MiB.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"
#include "tests/vm/guest.h"

namespace {

constexpr uint32_t kDisk = 23;  // usb-storage on port 3: 2-3
constexpr uint32_t kDiskMiB = 64;
uint32_t runMiB = 64;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

// The number after key in the output, or -1.
double figure(const std::string& output, const std::string& key) {
  size_t at = output.find(key);
  return at == std::string::npos ? -1 : atof(output.c_str() + at + key.size());
}

// The hex word after key in the output, or "".
std::string word(const std::string& output, const std::string& key) {
  size_t at = output.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  size_t end = output.find_first_of(" \n", at);
  return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

double hostLoad() {
  std::ifstream in("/proc/loadavg");
  double load = -1;
  in >> load;
  return load;
}

// Incompressible, so that no row gains from LZ4, and the same every time.
bool writeImage(const std::string& path, uint64_t* checksum) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t state = 0x9e3779b97f4a7c15ull;
  for (uint32_t mib = 0; mib < kDiskMiB; ++mib) {
    for (size_t i = 0; i < chunk.size(); i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      memcpy(chunk.data() + i, &state, 8);
    }
    if (mib == 0) {
      chunk[510] = 0;  // no partition table signature for the guest's kernel to find
      *checksum = bulkonly::fnv1a(bulkonly::kFnvStart, chunk.data(), bulkonly::kChecksumBytes);
    }
    out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(chunk.size()));
  }
  return bool(out);
}

double hostRead(vmguest::Guest& guest, uint32_t chunk, std::string* sum, std::string* why) {
  ovclient::OvClient client;
  ovclient::BindResult bound;
  if (!client.connectTo("127.0.0.1", guest.port(), 10000) || !client.bind(kDisk, &bound, 60000) ||
      bound.result != 1) {
    *why = "no binding from the host";
    return -1;
  }
  bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, 0x81, 0x02, 120000));
  double rate = -1;
  uint64_t checksum = 0;
  if (!disk.readThroughput(runMiB, chunk, &rate, &checksum)) *why = disk.error();
  *sum = hex(checksum);
  ovclient::Message notice;
  if (!client.unbind(kDisk) || !client.waitFor(kMsgDeviceUnbound, &notice, 30000)) {
    *why = "no unbind notice";
    return -1;
  }
  return rate;
}

// Shell in the guest: waits (30 s at most) until the glob names an existing
// path and sets $found to it.
std::string waitFor(const std::string& glob, const std::string& what) {
  return "found=; for i in $(seq 300); do for p in " + glob +
         "; do [ -e \"$p\" ] && found=$p; done; [ -n \"$found\" ] && break; sleep 0.1; done; "
         "[ -n \"$found\" ] || { echo \"@@error no " + what + "\"; ls /sys/bus/usb/devices; "
         "cat /tmp/usbip.log 2>/dev/null; dmesg | tail -n 30; exit 1; }; ";
}

// (d): the disk's interface handed to usb-storage (automatic probing is off
// while ovusbd runs), its block device read, the interface taken back.
std::string kernelRow(const std::string& args) {
  return "echo 2-3:1.0 >/sys/bus/usb/drivers_probe; " +
         waitFor("/sys/bus/usb/devices/2-3:1.0/host*/target*/*/block/*", "block device from usb-storage") +
         "ovprobe readblock /dev/${found##*/}" + args + "; rc=$?; "
         "echo 2-3:1.0 >/sys/bus/usb/drivers/usb-storage/unbind; exit $rc";
}

// Taking the disk from the generic driver, as binding it to usbip-host
// does, revokes every usbfs descriptor of it, ovusbd's too; ovusbd opens
// the node again at its next bind. usbip's unbind hands the disk back to
// the generic driver (usbip-host's rebind), which configures it; the shell
// binds it there itself should the disk still be without a driver, and
// waits for its interface.
std::string backToGenericDriver() {
  return "d=$(readlink /sys/bus/usb/devices/2-3/driver); [ \"${d##*/}\" = usb ] || "
         "echo 2-3 >/sys/bus/usb/drivers/usb/bind; " +
         waitFor("/sys/bus/usb/devices/2-3:1.0", "interface back with the generic driver");
}

// (e): the disk bound to usbip-host and attached through vhci-hcd over
// loopback; the attached device and its interface probed by hand, as
// automatic probing is off; its block device read; then detached, and the
// disk given back to the generic driver once usbip-host has it available
// (status 1) again.
std::string usbipRow(const std::string& args) {
  return "usbip bind -b 2-3 >/tmp/usbip.log 2>&1 || { cat /tmp/usbip.log; exit 1; }; "
         "if usbip attach -r 127.0.0.1 -b 2-3 >>/tmp/usbip.log 2>&1; then "
         "  (" +
         waitFor("/sys/devices/platform/vhci_hcd.0/usb*/[0-9]*-[0-9]", "device on vhci-hcd") +
         "   n=${found##*/}; echo $n >/sys/bus/usb/drivers_probe; " +
         waitFor("/sys/bus/usb/devices/$n:1.0", "interface on vhci-hcd") +
         "   echo $n:1.0 >/sys/bus/usb/drivers_probe; " +
         waitFor("/sys/bus/usb/devices/$n:1.0/host*/target*/*/block/*", "block device over USB/IP") +
         "   ovprobe readblock /dev/${found##*/}" + args +
         "  ); rc=$?; "
         "  usbip detach -p $(usbip port 2>/dev/null | sed -n 's/^Port \\([0-9]*\\):.*/\\1/p' | head -n 1) "
         "    >>/tmp/usbip.log 2>&1; "
         "else cat /tmp/usbip.log; rc=1; fi; "
         "for i in $(seq 300); do [ \"$(cat /sys/bus/usb/devices/2-3/usbip_status 2>/dev/null)\" = 1 ] && break; "
         "sleep 0.1; done; "
         "usbip unbind -b 2-3 >>/tmp/usbip.log 2>&1 || { cat /tmp/usbip.log; rc=1; }; " + backToGenericDriver() +
         "exit $rc";
}

struct Row {
  std::string name;
  double a = -1, b = -1, c = -1, d = -1, e = -1;
  double serverWakeups = -1, clientWakeups = -1;  // voluntary switches per transfer, row (b)
  double loadLow = 1e9, loadHigh = -1, loadSum = 0;
  int loadSamples = 0;
};
std::vector<Row> allRows;
int badSums = 0;
std::vector<std::string> badSumNotes;

void checkSum(const std::string& row, const std::string& got, const std::string& expected) {
  if (got == expected) return;
  ++badSums;
  badSumNotes.push_back(row + ": " + (got.empty() ? "no checksum" : got) + ", the image has " + expected);
  ADD_FAILURE() << row << " read the wrong bytes: checksum " << got << ", the image's " << expected;
}

void printTable(const std::vector<Row>& rows) {
  printf("| read size | (a) usbfs | (b) ovusbd in guest | (c) ovusbd from host | (d) usb-storage | (e) USB/IP "
         "| (b)/(a) | (b)/(e) | (c)/(e) | wake-ups per transfer: server, client (b) | host load |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : rows) {
    printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f, %.2f | %.1f-%.1f |\n",
           r.name.c_str(), r.a, r.b, r.c, r.d, r.e, r.b / r.a, r.b / r.e, r.c / r.e, r.serverWakeups,
           r.clientWakeups, r.loadLow, r.loadHigh);
  }
}

void printGoals(const std::vector<Row>& rows) {
  auto find = [&](const std::string& name) -> const Row* {
    for (const Row& r : rows) {
      if (r.name == name) return &r;
    }
    return nullptr;
  };
  auto goal = [](const char* text, bool met, double value) {
    printf("- %s: %s (%.2f)\n", text, met ? "met" : "NOT met", value);
  };
  printf("\nGoals (medians, same boot, same disk):\n");
  for (const char* boot : {"throttled", "unthrottled"}) {
    for (const char* size : {"1 MiB", "4 KiB"}) {
      const Row* r = find(std::string(boot) + " " + size);
      if (r == nullptr) continue;
      std::string text = std::string(boot) + " " + size + ": (b) at least (e), (b)/(e)";
      goal(text.c_str(), r->b >= r->e, r->b / r->e);
      text = std::string(boot) + " " + size + ": (c) above (e), (c)/(e)";
      goal(text.c_str(), r->c > r->e, r->c / r->e);
    }
  }
  if (const Row* r = find("throttled 1 MiB")) goal("throttled 1 MiB: (b)/(a) at least 0.9", r->b / r->a >= 0.9, r->b / r->a);
  if (const Row* r = find("throttled 4 KiB")) goal("throttled 4 KiB: (b)/(a) at least 0.5", r->b / r->a >= 0.5, r->b / r->a);
  if (const Row* r = find("unthrottled 1 MiB")) {
    goal("unthrottled 1 MiB: (b)/(a) at least 0.6", r->b / r->a >= 0.6, r->b / r->a);
  }
  if (badSums == 0) {
    printf("Every run of every row read the disk's first MiB as the image holds it.\n");
  } else {
    for (const std::string& note : badSumNotes) printf("WRONG BYTES %s\n", note.c_str());
  }
}

std::string usbipDirectory() {
  FILE* pipe = popen("bash '" OVUSB_VM_SCRIPT "' usbip", "r");
  if (pipe == nullptr) return "";
  char line[4096] = "";
  if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  int status = pclose(pipe);
  std::string dir = line;
  while (!dir.empty() && dir.back() == '\n') dir.pop_back();
  return status == 0 ? dir : "";
}

void measure(bool throttled) {
  const std::string usbip = usbipDirectory();
  ASSERT_FALSE(usbip.empty()) << "guest.sh usbip failed (Debian's usbip package is the baseline of row (e))";
  vmguest::Guest guest;
  const std::string image = guest.runDir() + "/disk.img";
  uint64_t imageSum = 0;
  ASSERT_TRUE(writeImage(image, &imageSum));
  const std::string expected = hex(imageSum);
  std::string drive = "if=none,id=disk,format=raw,file=" + image;
  if (throttled) drive += ",throttling.bps-read=35000000";
  const char* profileSwitch = getenv("OVUSB_BENCH_PROFILE");
  const bool profile = !throttled && profileSwitch && strcmp(profileSwitch, "1") == 0;
  std::vector<vmguest::GuestFile> files = {{OVUSB_VM_SERVER, "/usr/sbin/ovusbd"},
                                           {OVUSB_VM_PROBE, "/usr/bin/ovprobe"},
                                           {OVUSB_VM_CLIENT, "/usr/bin/ovclient"},
                                           {usbip + "/usr/sbin/usbip", "/usr/sbin/usbip"},
                                           {usbip + "/usr/sbin/usbipd", "/usr/sbin/usbipd"},
                                           {usbip + "/usr/lib/x86_64-linux-gnu/libwrap.so.0",
                                            "/lib/x86_64-linux-gnu/libwrap.so.0"}};
  if (profile) files.push_back({"/usr/bin/perf", "/usr/bin/perf"});
  // Loaded at boot, before ovusbd turns automatic probing off, so that
  // vhci-hcd's root hubs get their hub driver.
  setenv("OVUSB_VM_MODULES", "usbip-core usbip-host vhci-hcd", 1);
  const bool booted =
      guest.boot(files,
                 {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15", "-drive", drive, "-device",
                  "usb-storage,bus=xhci.0,port=3,drive=disk,id=storage"},
                 6 * 3600);
  unsetenv("OVUSB_VM_MODULES");
  ASSERT_TRUE(booted) << guest.error();
  std::string why, output;
  // Automatic probing off: between runs the disk stays free of usb-storage.
  ASSERT_TRUE(vmguest::startServer(guest, "AutoAttachToKernel=0\n", &why)) << why;
  ASSERT_EQ(guest.run("echo 0 >/sys/module/usb_storage/parameters/delay_use; usbipd -D && "
                      "for i in $(seq 300); do netstat -ltn | grep -q ':3240 ' && exit 0; sleep 0.1; done; exit 1",
                      &output, 60000),
            0)
      << output;
  ASSERT_EQ(guest.run("pidof ovusbd", &output), 0) << output;
  const std::string serverPid = std::to_string(atoi(output.c_str()));
  std::vector<Row> rows;
  for (uint32_t chunk : {1u << 20, 4096u}) {
    Row row;
    row.name = std::string(throttled ? "throttled " : "unthrottled ") + (chunk == 4096 ? "4 KiB" : "1 MiB");
    std::vector<double> a, b, c, d, e, serverWakeups, clientWakeups;
    const std::string mibChunk = " " + std::to_string(runMiB) + " " + std::to_string(chunk);
    const std::string args = " 0x81 0x02" + mibChunk;
    for (int run = 0; run < 3; ++run) {
      const double load = hostLoad();
      row.loadLow = std::min(row.loadLow, load);
      row.loadHigh = std::max(row.loadHigh, load);
      row.loadSum += load;
      ++row.loadSamples;
      ASSERT_EQ(guest.run("ovprobe readdisk 2-3" + args, &output, 3600000), 0) << output;
      a.push_back(figure(output, "@@rate "));
      checkSum(row.name + " (a)", word(output, "@@sum "), expected);
      ASSERT_EQ(guest.run("ovclient 127.0.0.1 7575 readdisk 23" + args + " " + serverPid, &output, 3600000), 0)
          << output << vmguest::serverLog(guest);
      b.push_back(figure(output, "MB/s="));
      checkSum(row.name + " (b)", word(output, "sum="), expected);
      const double transfers = figure(output, "transfers=");
      serverWakeups.push_back(figure(output, "servervoluntary=") / transfers);
      clientWakeups.push_back(figure(output, "clientvoluntary=") / transfers);
      std::string sum;
      double rate = hostRead(guest, chunk, &sum, &why);
      ASSERT_GT(rate, 0) << why << vmguest::serverLog(guest);
      c.push_back(rate);
      checkSum(row.name + " (c)", sum, expected);
      ASSERT_EQ(guest.run(kernelRow(mibChunk), &output, 3600000), 0) << output << guest.diagnostics();
      d.push_back(figure(output, "@@rate "));
      checkSum(row.name + " (d)", word(output, "@@sum "), expected);
      ASSERT_EQ(guest.run(usbipRow(mibChunk), &output, 3600000), 0) << output << guest.diagnostics();
      e.push_back(figure(output, "@@rate "));
      checkSum(row.name + " (e)", word(output, "@@sum "), expected);
      fprintf(stderr, "  %s run %d: %.2f %.2f %.2f %.2f %.2f MB/s, server %.2f client %.2f wake-ups/transfer, load %.1f\n",
              row.name.c_str(), run + 1, a.back(), b.back(), c.back(), d.back(), e.back(), serverWakeups.back(),
              clientWakeups.back(), load);
    }
    const double load = hostLoad();
    row.loadLow = std::min(row.loadLow, load);
    row.loadHigh = std::max(row.loadHigh, load);
    row.a = median(a);
    row.b = median(b);
    row.c = median(c);
    row.d = median(d);
    row.e = median(e);
    row.serverWakeups = median(serverWakeups);
    row.clientWakeups = median(clientWakeups);
    rows.push_back(row);
    allRows.push_back(row);
  }
  printf("\n%s drive, %u MiB per run, median of 3 (MB/s)\n", throttled ? "Throttled (35 MB/s)" : "Unthrottled",
         runMiB);
  printTable(rows);
  fflush(stdout);
  if (!profile) return;
  for (uint32_t chunk : {4096u, 1u << 20}) {
    const std::string mib = chunk == 4096 ? "2" : "32";
    guest.run("echo -1 >/proc/sys/kernel/perf_event_paranoid; echo 0 >/proc/sys/kernel/kptr_restrict; "
              "perf record -q -e cpu-clock -F 499 -a -g -o /tmp/perf.data -- ovclient 127.0.0.1 7575 readdisk 23 0x81 "
              "0x02 " + mib + " " + std::to_string(chunk) + " && "
              "perf report -i /tmp/perf.data --stdio --no-children --sort comm,dso,sym -g none --percent-limit 1.5 "
              "2>/dev/null | grep -v '^$' | grep -v '^#' | head -n 30; "
              "perf report -i /tmp/perf.data --stdio --no-children --comm ovusbd --sort sym "
              "-g caller,0.5,callee,function,percent --percent-limit 4 2>/dev/null | grep -v '^$' | grep -v '^#' | "
              "head -n 120",
              &output, 3600000);
    printf("\nProfile of loopback reads of %u bytes (whole guest, cpu-clock):\n%s\n", chunk, output.c_str());
  }
  fflush(stdout);
}

TEST(VmBulkThroughput, Throttled) { measure(true); }
TEST(VmBulkThroughput, Unthrottled) { measure(false); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) runMiB = uint32_t(atoi(argv[1]));
  if (runMiB == 0) runMiB = 64;
  const int result = RUN_ALL_TESTS();
  if (!allRows.empty()) {
    printf("\nAll rows, %u MiB per run, median of 3 (MB/s); wake-ups are voluntary context switches per bulk "
           "transfer of row (b); host load is /proc/loadavg's 1-minute figure over the runs\n",
           runMiB);
    printTable(allRows);
    printGoals(allRows);
  }
  return result;
}
