// lapid's sockets: the service socket and its client connections, the control
// socket and its operator connections, all non-blocking on one EventLoop.
//
// Service connections move bytes between their sockets and the Engine (which does
// the framing, the protocol and the bounded output queues). Output is written once
// per loop iteration (before the loop sleeps) for every connection the engine
// touched; what the socket does not take waits for EPOLLOUT. Control connections
// carry the line protocol of ControlCommands.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "domain/result.h"
#include "operator/control.h"
#include "service/engine.h"
#include "transport/event_loop.h"

namespace lapid {

struct NetConfig {
    std::string servicePath;  // "/tmp/lapisock" for lapid
    mode_t serviceMode = 0660;
    // A listening socket handed over by a service manager (socket activation), used
    // instead of creating servicePath; its file belongs to the manager and stays.
    int serviceFd = -1;
    // The group given the service socket this server creates (-1: the server's own).
    gid_t serviceGroup = static_cast<gid_t>(-1);
    std::string controlPath;  // always mode 0600
    std::size_t maxControlBacklog = 262144;
};

class NetServer {
  public:
    NetServer(EventLoop &loop, Engine &engine, ControlCommands &commands);
    ~NetServer();
    NetServer(const NetServer &) = delete;
    NetServer &operator=(const NetServer &) = delete;

    // Creates both listening sockets and watches them. On failure nothing is left
    // behind.
    Result<> Start(const NetConfig &config);
    // Closes every connection and both listening sockets and removes the socket files
    // this server created.
    void Stop();
    // Writes what the engine queued and closes what it wants closed.
    void Flush();

    std::size_t ControlConnections() const { return ctl_.size(); }

  private:
    struct ServiceConn {
        int fd = -1;
        bool wantWrite = false;
    };
    struct ControlConn {
        std::unique_ptr<ControlSession> session;
        std::string out;
        bool wantWrite = false;
    };
    struct Listener {
        int fd = -1;
        std::string path;
        dev_t dev = 0;
        ino_t ino = 0;
    };

    static Result<> Listen(Listener &l, const std::string &path, mode_t mode);
    void CloseListener(Listener &l);
    int AcceptOne(int listenFd);
    void Replenish();
    void AcceptService();
    void AcceptControl();
    void OnService(ConnId id, uint32_t events);
    void ReadService(ConnId id);
    void FlushService(ConnId id);
    void CloseService(ConnId id);
    void OnControl(int fd, uint32_t events);
    void FlushControl(int fd);
    void CloseControl(int fd);
    void SetWantWrite(int fd, bool &flag, bool want);

    EventLoop &loop_;
    Engine &engine_;
    ControlCommands &commands_;
    NetConfig config_;
    Listener service_;
    Listener control_;
    int spareFd_ = -1;          // given up to accept and shed a connection when out of descriptors
    std::vector<int> reserve_;  // given up to accept operator connections then
    std::unordered_map<ConnId, ServiceConn> svc_;
    std::unordered_map<int, ControlConn> ctl_;
};

}  // namespace lapid
