#include "tests/support/ravelsimcontrol.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/ravelsim.h"

namespace ravelsim {

namespace {

bool ParseHex(const std::string& text, unsigned long* value)
{
    if (text.empty() || text.size() > 8)
        return false;
    char* end = nullptr;
    *value = strtoul(text.c_str(), &end, 16);
    return *end == '\0';
}

// A string descriptor's text may hold spaces, newlines and escapes that one
// command line cannot carry: "%XX" stands for the byte 0xXX.
bool Unpercent(const std::string& text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        unsigned long byte = 0;
        if (i + 2 >= text.size() || !ParseHex(text.substr(i + 1, 2), &byte))
            return false;
        *out += static_cast<char>(byte);
        i += 2;
    }
    return true;
}

std::string Plug(RavelSim* sim, std::istringstream& words)
{
    SimDevice device;
    if (!(words >> device.busId))
        return "error no bus id";
    std::string word;
    while (words >> word) {
        size_t equals = word.find('=');
        if (equals == std::string::npos)
            return "error bad word " + word;
        std::string key = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        unsigned long number = 0;
        if (key == "vid" && ParseHex(value, &number) && number <= 0xFFFF)
            device.vendorId = static_cast<uint16_t>(number);
        else if (key == "pid" && ParseHex(value, &number) && number <= 0xFFFF)
            device.productId = static_cast<uint16_t>(number);
        else if (key == "bcd" && ParseHex(value, &number) && number <= 0xFFFF)
            device.bcdDevice = static_cast<uint16_t>(number);
        else if (key == "class" && ParseHex(value, &number) && number <= 0xFF)
            device.deviceClass = static_cast<uint8_t>(number);
        else if (key == "serial" || key == "manufacturer" || key == "product") {
            std::string* text = key == "serial" ? &device.serial
                                : key == "manufacturer" ? &device.manufacturer : &device.product;
            if (!Unpercent(value, text))
                return "error bad text " + word;
        } else if (key == "interfaces") {
            device.interfaces.clear();
            std::istringstream list(value);
            std::string triple;
            while (std::getline(list, triple, ',')) {
                unsigned c, s, p;
                if (sscanf(triple.c_str(), "%x.%x.%x", &c, &s, &p) != 3 || c > 255 || s > 255 || p > 255)
                    return "error bad interface " + triple;
                device.interfaces.push_back({static_cast<uint8_t>(c), static_cast<uint8_t>(s), static_cast<uint8_t>(p)});
            }
        } else
            return "error bad word " + word;
    }
    sim->Plug(device);
    return "ok";
}

std::string Answer(RavelSim* sim, const std::string& line)
{
    std::istringstream words(line);
    std::string command;
    words >> command;
    std::string busId;
    if (command == "plug")
        return Plug(sim, words);
    if (command == "unplug") {
        words >> busId;
        return sim->Unplug(busId) ? "ok" : "error not plugged";
    }
    if (command == "push") {
        std::string hex;
        words >> busId >> hex;
        if (hex.size() % 2)
            return "error odd hex";
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < hex.size(); i += 2) {
            unsigned long byte;
            if (!ParseHex(hex.substr(i, 2), &byte))
                return "error bad hex";
            bytes.push_back(static_cast<uint8_t>(byte));
        }
        return sim->PushMessage(busId, bytes) ? "ok" : "error no stub";
    }
    if (command == "stub") {
        words >> busId;
        return "ok " + std::to_string(sim->StubNumber(busId));
    }
    if (command == "stats") {
        words >> busId;
        SimStub stub = sim->Stub(busId);
        if (stub.number < 0)
            return "error no stub";
        return "ok flushes=" + std::to_string(stub.flushes) + " resets=" + std::to_string(stub.resets) +
               " mode=" + std::to_string(stub.resetMode) + " flags=" + std::to_string(stub.flags) +
               " written=" + std::to_string(stub.written.size());
    }
    if (command == "rules")
        return "ok " + std::to_string(sim->ClaimRules().size());
    if (command == "knob") {
        std::string name;
        int value = 0;
        words >> name >> value;
        if (name == "rebind-busy")
            sim->SetRebindBusy(value != 0);
        else if (name == "rules-refused")
            sim->SetClaimRulesRefused(value != 0);
        else if (name == "quirks-refused")
            sim->SetQuirksRefused(value != 0);
        else if (name == "suppress")
            sim->SetSuppress(value != 0);
        else if (name == "needs-reset")
            sim->SetNeedsReset(value != 0);
        else if (name == "echo")
            sim->SetEcho(value != 0);
        else
            return "error unknown knob";
        return "ok";
    }
    return "error unknown command";
}

void Serve(RavelSim* sim, int listener)
{
    for (;;) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        std::string pending;
        char buffer[4096];
        for (;;) {
            ssize_t n = read(client, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(n));
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string reply = Answer(sim, pending.substr(0, newline)) + "\n";
                pending.erase(0, newline + 1);
                if (write(client, reply.data(), reply.size()) < 0)
                    break;
            }
        }
        close(client);
    }
}

bool MakeAddress(const std::string& path, struct sockaddr_un* address)
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path))
        return false;
    memcpy(address->sun_path, path.data(), path.size());
    return true;
}

} // namespace

bool StartControlServer(RavelSim* sim, const std::string& path)
{
    struct sockaddr_un address;
    if (!MakeAddress(path, &address))
        return false;
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 8) != 0) {
        close(listener);
        return false;
    }
    std::thread(Serve, sim, listener).detach();
    return true;
}

std::string ControlRequest(const std::string& path, const std::string& line)
{
    struct sockaddr_un address;
    if (!MakeAddress(path, &address))
        return "error connect";
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "error connect";
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return "error connect";
    }
    std::string request = line + "\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return "error connect";
    }
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        reply.push_back(c);
    close(fd);
    return reply;
}

} // namespace ravelsim
