// Writes the seed inputs of lapid_input_fuzz and client_receive_fuzz, every message
// built from the catalogue (identifier and length; a zero body with a few fields set so
// that the requests pass their checks).
//
//   make_fuzz_seeds DIR    writes DIR/lapid_input/* and DIR/client_receive/*
//
// lapid_input: per request, a client registers on two connections, sends the request
// blocking and not blocking, lets the clock run and goes away. client_receive: per
// request call, a registration, the call in LAPI_BLOCK mode with its answer, one pushed
// message read with LAPI_GetAsyncMsg, and the unregistration.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "LAPI_MsgCatalogue.h"
#include "LAPI_SrvCli.h"

namespace {

using Bytes = std::string;

template <typename T>
void Put(Bytes &m, size_t offset, T v) {
    lapi::wire::Store(m.data() + offset, v);
}

Bytes Message(unsigned msgId) {
    const lapi::cat::Msg &m = *lapi::cat::Find(msgId);
    Bytes b(m.recordSize, '\0');
    lapi::wire::StoreHeader(b.data(), 4242, msgId, m.msgLen);
    switch (msgId) {
        case LAPI_MSG_REGISTER_REQ:
            Put<uint32_t>(b, offsetof(LAPI_REGISTER_REQ_S, service), LAPI_SERVICE_MASK);
            break;
        case LAPI_MSG_REGISTER_RSP:
        case LAPI_MSG_GET_ASYNC_FD_REQ:  // the first globalId of the fuzz engine
            Put<int32_t>(b, offsetof(LAPI_REGISTER_RSP_S, globalId), 1);
            break;
        case LAPI_MSG_GET_LOCATION_REQ:
            Put<int32_t>(b, offsetof(LAPI_GET_LOCATION_REQ_S, responseTime), 5);
            Put<int32_t>(b, offsetof(LAPI_GET_LOCATION_REQ_S, interval), 1);
            break;
        case LAPI_MSG_SET_GPS_DB_DATA_REQ:
            Put<uint16_t>(b, offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, numFiles), 1);
            Put<uint16_t>(b, offsetof(LAPI_SET_GPS_DB_DATA_REQ_S, dbFile[0].length), 2);
            break;
        case LAPI_MSG_ADD_PROXIMITY_REQ:
            Put<double>(b, offsetof(LAPI_ADD_PROXIMITY_REQ_S, radius), 500.0);
            break;
        case LAPI_MSG_DISTANCE_AZIMUTH_REQ:
            Put<double>(b, offsetof(LAPI_DISTANCE_AZIMUTH_REQ_S, latitude2), 1.5);
            break;
        default:
            break;
    }
    return b;
}

Bytes WithMode(Bytes m, uint16_t mode) {
    if (lapi::cat::Find(lapi::wire::LoadHeader(m.data()).msgId)->hasMode) {
        Put<uint16_t>(m, lapi::cat::kHeaderLen, mode);
    }
    return m;
}

// lapid_input_fuzz operations (see its program) on slot s.
Bytes Feed(int slot, const Bytes &m) {
    return Bytes{static_cast<char>(1 + 8 * slot), static_cast<char>(m.size())} + m;
}
Bytes Op(int kind, int slot) {
    return Bytes(1, static_cast<char>(kind + 8 * slot));
}
Bytes Advance(int ticks) {
    return Op(4, 0) + Bytes(1, static_cast<char>(ticks));
}

void Write(const std::filesystem::path &file, const Bytes &bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// The answer in LAPI_BLOCK mode of each request call of client_receive_fuzz (0: none).
constexpr unsigned kAnswers[] = {LAPI_MSG_GET_LOCATION_RSP,
                                 LAPI_MSG_ABORT_LOCATION_RSP,
                                 0,
                                 LAPI_MSG_GET_LOCATION_RSP,
                                 LAPI_MSG_GET_STATUS_RSP,
                                 LAPI_MSG_GET_GPS_DB_DATA_RSP,
                                 LAPI_MSG_SET_GPS_DB_DATA_RSP,
                                 0,
                                 LAPI_MSG_DISTANCE_AZIMUTH_RSP,
                                 LAPI_MSG_ADD_PROXIMITY_RSP,
                                 LAPI_MSG_REMOVE_PROXIMITY_RSP};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
        return 2;
    }
    const std::filesystem::path lapid = std::filesystem::path(argv[1]) / "lapid_input";
    const std::filesystem::path client = std::filesystem::path(argv[1]) / "client_receive";
    std::filesystem::create_directories(lapid);
    std::filesystem::create_directories(client);

    const Bytes registration = Op(0, 0) + Feed(0, Message(LAPI_MSG_REGISTER_REQ)) + Op(0, 1) +
                               Feed(1, Message(LAPI_MSG_GET_ASYNC_FD_REQ));
    for (const lapi::cat::Msg &m : lapi::cat::kMessages) {
        if (m.fromServer || m.msgId <= LAPI_MSG_GET_ASYNC_FD_REQ) {
            continue;
        }
        const Bytes req = Message(m.msgId);
        Write(lapid / m.name, registration + Feed(0, WithMode(req, 1)) + Advance(100) +
                                  Feed(0, WithMode(req, 0)) + Advance(100) + Op(3, 0));
    }
    Write(lapid / "mtlrAndStatus", registration + Op(7, 0) + "\x05" + Op(6, 0) + "\x01\x90" +
                                       Advance(30) + Op(5, 0) + Advance(250));

    for (unsigned k = 0; k < std::size(kAnswers); ++k) {
        Bytes sync = Message(LAPI_MSG_REGISTER_RSP);
        if (kAnswers[k] != 0) {
            sync += Message(kAnswers[k]);
        }
        sync += Message(LAPI_MSG_UNREGISTER_RSP);
        const unsigned pushed = k % (LAPI_MSG_SERVER_RANGE_LAST + 1);
        const Bytes async = Message(LAPI_MSG_GET_ASYNC_FD_RSP) + Message(pushed);
        const Bytes program = {static_cast<char>(0x70), static_cast<char>(0x40 + k + 1),
                               static_cast<char>(0x0c), static_cast<char>(0x0d),
                               static_cast<char>(0x0e)};
        Write(client / ("call" + std::to_string(k + 1)), program + "|S|" + sync + "|S|" + async);
    }
    return 0;
}
