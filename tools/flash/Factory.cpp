#include "tools/flash/Factory.h"

#include "platform/ports/DeviceMap.h"
#include "platform/ports/DeviceWatcher.h"
#include "platform/toolkit/Exception.h"

#include <algorithm>
#include <chrono>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

// Passes a job's progress to its row of the board.
class TRowObserver final : public TJobObserver {
  public:
    TRowObserver(TBoard& Board, int Row) : FBoard(Board), FRow(Row) {}
    void Started(const TJobSpec&, uint32_t ImageSize, uint32_t Rate) override { FBoard.Started(FRow, ImageSize, Rate); }
    void Notice(const TFlashNotice& Notice) override { FBoard.Notice(FRow, Notice); }

  private:
    TBoard& FBoard;
    int FRow;
};

TJobSpec SpecFor(const TOptions& o, const std::string& Port, const std::string& Device) {
    TJobSpec s;
    s.Port = Port;
    s.Where = Device;
    s.Config = o.Config;
    s.Baud = o.Baud;
    s.Timeout = o.Timeout;
    s.MaxResends = o.MaxResends;
    s.Image = o.Image;
    return s;
}

std::atomic<TDeviceWatcher*> gWatcher{nullptr};

} // namespace

void WakeWatch() {
    if (TDeviceWatcher* w = gWatcher.load()) w->Wake();
}

std::vector<TPortChoice> ChoosePorts(const std::vector<std::string>& Given) {
    std::vector<TDeviceMapEntry> map = CurrentDeviceMap().Entries;
    std::vector<TPortChoice> out;
    std::set<int> taken;
    for (const auto& e : map)
        taken.insert(ComPortNumber(e.Name));
    for (const std::string& g : Given) {
        TPortChoice c;
        if (const int n = ComPortNumber(g)) {
            c.Port = "COM" + std::to_string(n);
            c.Device = ResolvePortName(c.Port).value_or("no device mapped");
        } else {
            c.Device = g;
            const auto known =
                std::find_if(map.begin(), map.end(), [&](const TDeviceMapEntry& e) { return e.Path == g; });
            if (known != map.end()) {
                c.Port = known->Name;
            } else {
                int n = 1;
                while (taken.count(n))
                    ++n;
                if (n > MaxComPortNumber)
                    throw Exception("more ports than COM1..COM16 can name: " + g + " gets no port name");
                taken.insert(n);
                c.Port = "COM" + std::to_string(n);
                map.push_back({c.Port, g});
            }
        }
        for (const TPortChoice& o : out)
            if (o.Port == c.Port) throw Exception("port given twice: " + g + " (" + c.Port + ")");
        out.push_back(c);
    }
    if (out.size() > static_cast<size_t>(MaxComPortNumber)) throw Exception("at most 16 ports in one run");
    SetDeviceMapOverride(map);
    return out;
}

int RunParallel(const TOptions& o, TJobLog& Log) {
    const std::vector<TPortChoice> ports = ChoosePorts(o.Ports);
    TBoard board(o.Json, o.Quiet, ::isatty(1) != 0);
    std::vector<TJobResult> results(ports.size());
    std::vector<std::thread> jobs;
    std::atomic<size_t> finished{0};
    for (size_t i = 0; i < ports.size(); ++i) {
        const int row = board.Add(ports[i].Port, ports[i].Device);
        jobs.emplace_back([&, i, row] {
            TRowObserver observer(board, row);
            results[i] = RunFlashJob(SpecFor(o, ports[i].Port, ports[i].Device), observer, gSignal);
            board.Finished(row, results[i]);
            Log.Append(ports[i].Port, ports[i].Device, ByIdName(ports[i].Device), results[i]);
            ++finished;
        });
    }
    while (finished.load() < jobs.size()) {
        board.Redraw();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& t : jobs)
        t.join();
    board.Summary();
    TExit code = exOk;
    for (const TJobResult& r : results)
        code = WorseExit(code, r.Code);
    return code;
}

namespace {

// The devices watch mode knows of, by path. A device is flashed once per plug-in: after its job it
// is left alone until it has been unplugged.
class TWatchSession {
  public:
    TWatchSession(const TOptions& o, TJobLog& Log, TBoard& Board) : FOptions(o), FLog(Log), FBoard(Board) {}
    ~TWatchSession() {
        for (auto& [path, d] : FDevices)
            if (d.Thread.joinable()) d.Thread.join();
    }

    bool Matches(const std::string& Path) const {
        if (FOptions.Match.empty()) return true;
        const std::string byId = ByIdName(Path);
        for (const std::string& name : {Path, byId, byId.substr(byId.find_last_of('/') + 1)})
            if (!name.empty() && ::fnmatch(FOptions.Match.c_str(), name.c_str(), 0) == 0) return true;
        return false;
    }

    void Appeared(const std::string& Path) {
        std::lock_guard<std::mutex> l(FLock);
        TDevice& d = FDevices[Path];
        if (d.Busy || d.Present) return; // its job runs, or it was flashed and never unplugged
        if (d.Thread.joinable()) d.Thread.join();
        d.Present = true;
        d.Busy = true;
        d.Thread = std::thread([this, Path] { Flash(Path); });
    }

    void Disappeared(const std::string& Path) {
        std::lock_guard<std::mutex> l(FLock);
        auto it = FDevices.find(Path);
        if (it != FDevices.end()) it->second.Present = false;
    }

    // The tally: passed, failed with reasons; returns the exit code.
    int Tally() {
        for (auto& [path, d] : FDevices)
            if (d.Thread.joinable()) d.Thread.join();
        FBoard.Summary();
        TExit code = exOk;
        int passed = 0, failed = 0;
        for (const TExit c : FCodes) {
            (c == exOk ? passed : failed)++;
            code = WorseExit(code, c);
        }
        FBoard.Line("watch ended: " + std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
        return code;
    }

  private:
    struct TDevice {
        bool Present = false; // plugged in and not flashed again until unplugged
        bool Busy = false;
        std::thread Thread;
    };

    void Flash(const std::string& Path) {
        // The device settles first (udev sets permissions and links a moment after the node).
        for (int waited = 0; waited < FOptions.SettleMs && gSignal.load() == 0; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string port;
        int row = -1;
        TJobResult result;
        if (gSignal.load() == 0) {
            port = TakePort(Path);
            row = FBoard.Add(port.empty() ? "-" : port, Path);
            if (port.empty()) {
                result.Code = exPort;
                result.Message = "failed: port error: all of COM1..COM16 are in use";
            } else {
                TJobSpec spec = SpecFor(FOptions, port, Path);
                spec.OpenRetryMs = 2000;
                TRowObserver observer(FBoard, row);
                result = RunFlashJob(spec, observer, gSignal);
                ReleasePort(port);
            }
            FBoard.Finished(row, result);
            FLog.Append(port, Path, ByIdName(Path), result);
        }
        std::lock_guard<std::mutex> l(FLock);
        if (row >= 0) FCodes.push_back(result.Code);
        FDevices[Path].Busy = false;
    }

    // A COMn of its own for the device while its job runs; the empty text when all are taken.
    std::string TakePort(const std::string& Path) {
        std::lock_guard<std::mutex> l(FLock);
        for (int n = 1; n <= MaxComPortNumber; ++n) {
            const std::string name = "COM" + std::to_string(n);
            if (FPorts.count(name)) continue;
            FPorts[name] = Path;
            InstallMap();
            return name;
        }
        return std::string();
    }
    void ReleasePort(const std::string& Port) {
        std::lock_guard<std::mutex> l(FLock);
        FPorts.erase(Port);
        InstallMap();
    }
    void InstallMap() {
        std::vector<TDeviceMapEntry> map;
        for (const auto& [name, path] : FPorts)
            map.push_back({name, path});
        SetDeviceMapOverride(map);
    }

    const TOptions& FOptions;
    TJobLog& FLog;
    TBoard& FBoard;
    std::mutex FLock;
    std::map<std::string, TDevice> FDevices;
    std::map<std::string, std::string> FPorts; // COMn in use → device
    std::vector<TExit> FCodes;
};

} // namespace

int RunWatch(const TOptions& o, TJobLog& Log) {
    // A glob picks the devices itself, whatever their names; without one only the serial families
    // count, so a watch never flashes a console.
    TDeviceWatcher watcher(DefaultDeviceDir(), o.Match.empty() ? dnSerialFamilies : dnAllCharDevices);
    // A glob for another folder (links made in a folder of their own) watches that folder too.
    if (const size_t slash = o.Match.rfind('/'); slash != std::string::npos && slash > 0) {
        const std::string folder = o.Match.substr(0, slash);
        if (folder.find_first_of("*?[") == std::string::npos && folder != watcher.DeviceDir())
            watcher.AlsoWatch(folder);
    }
    TBoard board(o.Json, o.Quiet, false);
    TWatchSession session(o, Log, board);
    gWatcher.store(&watcher);
    board.Line("watching " + watcher.DeviceDir() + " for serial devices" +
               (o.Match.empty() ? std::string() : " matching " + o.Match) + "; Ctrl+C ends");
    for (const std::string& path : watcher.Present()) {
        if (!session.Matches(path)) continue;
        if (o.IncludePresent)
            session.Appeared(path);
        else
            board.Line("present at start, left alone: " + path);
    }
    while (gSignal.load() == 0) {
        for (const TDeviceEvent& e : watcher.Wait(-1)) {
            if (e.Change == dcRemoved) {
                session.Disappeared(e.Path);
            } else if (session.Matches(e.Path)) {
                session.Appeared(e.Path);
            }
        }
    }
    gWatcher.store(nullptr);
    return session.Tally();
}
