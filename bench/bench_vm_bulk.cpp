// Bulk throughput of a usb-storage disk in the qemu guest, read with SCSI
// READ(10) over bulk-only transport three ways, all in one boot:
//   (a) usbfs    straight through usbfs by ovprobe in the guest (baseline)
//   (b) loopback through ovusbd by the ovclient tool in the guest
//   (c) host     through ovusbd from the host over qemu's forwarded port
// with 1 MiB and 4 KiB reads, each figure the median of three runs, once
// with the drive throttled to about a USB 2.0 stick's 35 MB/s and once
// unthrottled. Run by hand (it boots the guest twice and takes minutes):
//   build/bench/bench_vm_bulk [MIB]          (default 64 MiB per run)
// With OVUSB_BENCH_PROFILE=1 the unthrottled boot ends with a system-wide
// perf profile (software clock) of loopback reads, 4 KiB and 1 MiB.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  return v[v.size() / 2];
}

// The number after key in the output, or -1.
double figure(const std::string& output, const std::string& key) {
  size_t at = output.find(key);
  return at == std::string::npos ? -1 : atof(output.c_str() + at + key.size());
}

double hostRead(vmguest::Guest& guest, uint32_t chunk, std::string* why) {
  ovclient::OvClient client;
  ovclient::BindResult bound;
  if (!client.connectTo("127.0.0.1", guest.port(), 10000) || !client.bind(kDisk, &bound, 60000) ||
      bound.result != 1) {
    *why = "no binding from the host";
    return -1;
  }
  bulkonly::Session disk(ovclient::bulkPipes(client, kDisk, 0x81, 0x02, 120000));
  double rate = -1;
  if (!disk.readThroughput(runMiB, chunk, &rate)) *why = disk.error();
  ovclient::Message notice;
  if (!client.unbind(kDisk) || !client.waitFor(kMsgDeviceUnbound, &notice, 30000)) {
    *why = "no unbind notice";
    return -1;
  }
  return rate;
}

struct Row {
  uint32_t chunk;
  double usbfs, loopback, host;
};

void measure(bool throttled) {
  vmguest::Guest guest;
  const std::string image = guest.runDir() + "/disk.img";
  {
    FILE* f = fopen(image.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  ASSERT_EQ(truncate(image.c_str(), off_t(kDiskMiB) << 20), 0);
  std::string drive = "if=none,id=disk,format=raw,file=" + image;
  if (throttled) drive += ",throttling.bps-read=35000000";
  const char* profileSwitch = getenv("OVUSB_BENCH_PROFILE");
  const bool profile = !throttled && profileSwitch && strcmp(profileSwitch, "1") == 0;
  std::vector<vmguest::GuestFile> files = {{OVUSB_VM_SERVER, "/usr/sbin/ovusbd"},
                                           {OVUSB_VM_PROBE, "/usr/bin/ovprobe"},
                                           {OVUSB_VM_CLIENT, "/usr/bin/ovclient"}};
  if (profile) files.push_back({"/usr/bin/perf", "/usr/bin/perf"});
  ASSERT_TRUE(guest.boot(files,
                         {"-device", "qemu-xhci,id=xhci,addr=0x14,p2=15,p3=15", "-drive", drive, "-device",
                          "usb-storage,bus=xhci.0,port=3,drive=disk,id=storage"},
                         6 * 3600))
      << guest.error();
  std::string why;
  // Automatic probing off: between runs the disk stays free of usb-storage.
  ASSERT_TRUE(vmguest::startServer(guest, "AutoAttachToKernel=0\n", &why)) << why;
  std::vector<Row> rows;
  for (uint32_t chunk : {1u << 20, 4096u}) {
    std::vector<double> a, b, c;
    const std::string args = " 0x81 0x02 " + std::to_string(runMiB) + " " + std::to_string(chunk);
    for (int run = 0; run < 3; ++run) {
      std::string output;
      ASSERT_EQ(guest.run("ovprobe readdisk 2-3" + args, &output, 3600000), 0) << output;
      a.push_back(figure(output, "@@rate "));
      ASSERT_EQ(guest.run("ovclient 127.0.0.1 7575 readdisk 23" + args, &output, 3600000), 0)
          << output << vmguest::serverLog(guest);
      b.push_back(figure(output, "MB/s="));
      double rate = hostRead(guest, chunk, &why);
      ASSERT_GT(rate, 0) << why << vmguest::serverLog(guest);
      c.push_back(rate);
      fprintf(stderr, "  %s %u bytes run %d: %.2f %.2f %.2f MB/s\n", throttled ? "throttled" : "unthrottled", chunk,
              run + 1, a.back(), b.back(), c.back());
    }
    rows.push_back({chunk, median(a), median(b), median(c)});
  }
  printf("\n%s drive, %u MiB per run, median of 3 (MB/s)\n", throttled ? "Throttled (35 MB/s)" : "Unthrottled",
         runMiB);
  printf("| read size | (a) usbfs | (b) ovusbd loopback | (c) ovusbd from host | (b)/(a) | (c)/(a) |\n");
  printf("|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", r.chunk == 4096 ? "4 KiB" : "1 MiB", r.usbfs, r.loopback,
           r.host, r.loopback / r.usbfs, r.host / r.usbfs);
  }
  fflush(stdout);
  if (!profile) return;
  for (uint32_t chunk : {4096u, 1u << 20}) {
    std::string output;
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
  return RUN_ALL_TESTS();
}
