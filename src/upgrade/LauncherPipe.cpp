#include "upgrade/LauncherPipe.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/debug_output.h"

namespace {

std::atomic<LauncherPipe*> g_pipe{nullptr};

}  // namespace

LauncherPipe::LauncherPipe() { std::memset(&m_buffer, 0, sizeof m_buffer); }

LauncherPipe::~LauncherPipe() {
    LauncherPipe* self = this;
    g_pipe.compare_exchange_strong(self, nullptr);
    m_client.close();
    std::memset(&m_buffer, 0, sizeof m_buffer);
}

LauncherPipe* getLauncherPipe() {
    if (LauncherPipe* p = g_pipe.load()) return p;
    auto* created = new (std::nothrow) LauncherPipe;
    if (created == nullptr) return nullptr;
    LauncherPipe* expected = nullptr;
    if (!g_pipe.compare_exchange_strong(expected, created)) {
        delete created;
        return expected;
    }
    return created;
}

int32_t LauncherPipe::openPipe() {
    switch (m_client.open(launcherprotocol::kPipeName, kPipeWaitMs)) {
        case platform::PipeClient::OpenResult::Opened: return kPipeOk;
        case platform::PipeClient::OpenResult::NoInstance:
            platform::debugOutput("WaitNamedPipe failed \n");
            return kPipeNoInstance;
        case platform::PipeClient::OpenResult::Failed: break;
    }
    platform::debugOutput("open pipe failed! \n");
    return kPipeOpenFailed;
}

int32_t LauncherPipe::sendData(uint8_t id, int32_t command, const uint8_t* data, uint32_t length) {
    if (!m_client.isOpen()) return kPipeNotOpen;
    if (length > launcherprotocol::kMaxData || (length > 0 && data == nullptr)) return kPipeBadLength;
    std::memset(&m_buffer, 0, sizeof m_buffer);
    launcherprotocol::MessageHeader header;
    header.id = id;
    header.command = command;
    header.length = length;
    const launcherprotocol::HeaderBytes head = launcherprotocol::encodeHeader(header);
    std::memcpy(m_buffer, head.data(), head.size());
    if (length > 0) std::memcpy(m_buffer + launcherprotocol::kHeaderSize, data, length);
    if (!m_client.write(m_buffer, launcherprotocol::kHeaderSize + length)) {
        platform::debugOutput("send data failed \n");
        return kPipeWriteFailed;
    }
    return kPipeOk;
}
