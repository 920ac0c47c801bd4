#pragma once
// Post-mortem capture of a RAF board ("postmortem"). When the board's timing
// raises a post-mortem event (id 1) while a capture is armed ("capture"),
// the capture thread copies the turn-by-turn DDC data around the event out
// of the board's DDC history into the raw buffer ("capacity" atoms, the last
// of them "offset" TBT samples after the event), converts the copy into
// amplitude and position atoms and serves both buffers as the on-demand
// signals "signals/ddc_raw" and "signals/ddc_synthetic". The FPGA block holds
// the trigger settings of the post-mortem logic: source, position window,
// ADC overflow threshold and duration.
//
// Locking: the capture mutex guards both buffers and the bookkeeping of the
// last capture. The capture thread holds it from the DDC read until the
// waiters are notified; capacity changes and every copy out of the buffers
// take it; the position controller reads the bookkeeping through one
// snapshot under it. Node values are published after it is released (the
// publish mutex, taken before it, orders the publications). A mode-13 reader
// waits on the capture condition, which releases the mutex. The threshold
// mutex, a leaf lock, keeps the overflow threshold's register and its kept
// value together.
//
// Reads never go past the length of the last capture: before the first
// capture, and past a short one, the buffers hold nothing to serve.

#include "acquisition/postmortem_position_controller.h"
#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_fpga_object.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "qsig/array.h"
#include "qsig/data_on_demand_buffer_source.h"
#include "qsig/dod_client.h"
#include "raf/position_limits.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RafBoard;
namespace qapp {
class ZemtraWaitObject;
}
namespace qreg {
class SignalNode;
}

enum PostmortemSource_e : int {
    ePostmortemExternal = 0,  // "external"
    ePostmortemInterlock = 1, // "interlock"
    ePostmortemLimits = 2,    // "limits"
};

class PostMortem : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x38;

    // Registers (64-bit, byte offsets in the block).
    static constexpr size_t c_x_min = 0x00;
    static constexpr size_t c_x_max = 0x08;
    static constexpr size_t c_y_min = 0x10;
    static constexpr size_t c_y_max = 0x18;
    static constexpr position_limits::Offsets c_position_window{c_x_min, c_x_max, c_y_min, c_y_max};
    static constexpr size_t c_overflow_threshold = 0x20;
    static constexpr size_t c_overflow_duration = 0x28;
    static constexpr size_t c_source = 0x30;

    static constexpr uint64_t c_default_duration = 5;
    static constexpr unsigned c_default_overflow_threshold = 30000;
    static constexpr unsigned c_initial_atoms = 65536;
    static constexpr unsigned c_max_capacity = 524288;
    static constexpr int c_max_offset = 524288;
    static constexpr uint64_t c_postmortem_event = 1;

    static const char* const c_client_name;

    using RawBuffer = qsig::Array<DdcTraits>;
    using AmplBuffer = qsig::Array<TbtAmplTraits>;

    // The bookkeeping of the last capture, taken as one.
    struct tCapture {
        uint64_t event_lmt = 0;  // LMT of the post-mortem event
        uint64_t first_lmt = 0;  // LMT of the first atom; 0: no capture yet
        uint64_t last_lmt = 0;   // LMT of the last atom
        int32_t offset = 0;      // "offset" as the capture used it
        uint32_t length = 0;     // atoms captured ("length")
        uint32_t capacity = 0;   // size of the raw buffer ("capacity")
        uint64_t generation = 0; // captures completed so far
    };

    PostMortem(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~PostMortem() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Writes the kept overflow threshold.
    void OnPostInit() override;
    // Opens the capture thread's client on the board's event stream and
    // starts the thread on it.
    void OnPostConfig() override;
    // Waits for a capture in progress and lets no other start (the capture
    // thread ends only with the event stream, and the board's signals that a
    // capture reads go before this object), then ends every mode-13 wait,
    // withdraws and shuts down both sources. The
    // readers of the signals close before the object goes (the remote
    // export closes its clients before the objects are shut down): a
    // controller refers to the object that captured its data.
    void OnShutdown() override;

    // The capture thread: reads post-mortem events and captures while armed.
    void UpdateBuffer();
    // One capture around the post-mortem event at eventLmt; false when the
    // DDC history delivered nothing (the capture stays armed) or after
    // OnShutdown.
    bool Capture(uint64_t eventLmt);

    tCapture GetCapture() const;
    // Waits until a capture other than the one numbered seen (a generation)
    // is the last one; false when *stop ended the wait.
    bool WaitForNextUpdate(const bool* stop, uint64_t seen);

    uint32_t GetDataLength() const;
    bool GetOverflowThreshold(unsigned int& value) const;
    bool SetOverflowThreshold(const unsigned int& value);
    bool GetOffset(int& value) const;
    bool SetOffset(const int& value);
    bool GetPostmortemTimestamp(unsigned long long& value) const;
    bool _GetCapacity(unsigned int& value) const;
    bool _SetCapacity(const unsigned int& value);
    // Resizes the raw buffer to count atoms (growing keeps its atoms) and
    // cuts "length" to it.
    void AssureBuffer(uint32_t count);

    bool IsArmed() const { return m_capture.load(); }
    const std::shared_ptr<PostmortemPositionController>& GetPositionController() const { return m_controller; }

    template <typename T> class CaptureSource;
    template <typename T> class CaptureClient;
    using RawSource = CaptureSource<DdcTraits>;
    using AmplSource = CaptureSource<TbtAmplTraits>;
    const std::shared_ptr<RawSource>& GetRawSource() const { return m_raw_source; }
    const std::shared_ptr<AmplSource>& GetAmplSource() const { return m_ampl_source; }

private:
    RafBoard& Board() const;
    void WriteRegister(size_t offset, uint64_t value);
    // Sets "length" to the kept length. Publications are ordered by their own
    // mutex, so the node always ends with the latest length, whatever order
    // a capture and a capacity change release the capture mutex in.
    void PublishLength();
    template <typename S> void InstallController(const std::shared_ptr<S>& source);
    template <typename S> void StopSource(std::shared_ptr<S>& source, std::shared_ptr<qreg::SignalNode>& node);

    volatile FPGAMem_t* m_base;
    std::atomic<int32_t> m_offset{0};
    const uint64_t m_tbt_decimation;
    std::unique_ptr<qsig::ZemtraEventStream::Client> m_client;
    std::thread m_thread;
    std::shared_ptr<PostmortemPositionController> m_controller;
    RawBuffer m_raw;
    std::shared_ptr<RawSource> m_raw_source;
    AmplBuffer m_ampl;
    std::shared_ptr<AmplSource> m_ampl_source;
    std::atomic<bool> m_capture{false};
    std::atomic<unsigned long long> m_timestamp{0};
    // Under m_mutex.
    uint64_t m_event_lmt = 0;
    uint64_t m_first_lmt = 0;
    uint64_t m_last_lmt = 0;
    int32_t m_captured_offset = 0;
    uint32_t m_length = 0;
    uint64_t m_generation = 0;
    // Set by OnShutdown: no capture reaches for the board's signals after it.
    bool m_stopped = false;
    // Read without the lock by the capacity getter.
    std::atomic<uint32_t> m_capacity{c_initial_atoms};

    mci::TreeNodePtr m_capture_node;
    mci::TreeNodePtr m_timestamp_node;
    mci::Node m_length_node;
    mci::Node m_os_time_node;
    std::shared_ptr<qreg::SignalNode> m_raw_node;
    std::shared_ptr<qreg::SignalNode> m_ampl_node;
    std::condition_variable m_cond;
    mutable std::mutex m_mutex;
    std::mutex m_publish_mutex;
    qapp::ZemtraWaitObject* m_wait = nullptr;
    // Kept with its register under m_threshold_mutex; read without it.
    std::atomic<unsigned int> m_overflow_threshold{c_default_overflow_threshold};
    std::mutex m_threshold_mutex;
};

// The client of a remote reader of a capture. Read ahead (mode 13), it
// reads the whole read as one buffer per capture, as long as a capture can
// hold it: the atoms that end at the window's end, however many chunks they
// take on the way (the export forwards a buffer in pieces). In mode 10 the
// offset moves the first atom by as many (the controller takes the time
// alone). It explains its refusals for the reader.
template <typename T> class PostMortem::CaptureClient : public qsig::DodClient<T> {
public:
    using Base = qsig::DodClient<T>;
    using Base::Read;

    // readCount: the atoms of the whole read (0: not known).
    CaptureClient(typename Base::SourcePtr source, const std::string& name, const T& traits,
                  std::shared_ptr<PostmortemPositionController> controller, std::size_t readCount)
        : Base(source, name, traits), m_controller(std::move(controller)), m_readCount(readCount)
    {
    }

    qsig::SuccessCode_e Open(qsig::AccessMode_e mode, unsigned size, long long offset) override
    {
        if (mode == qsig::eAccessStreaming && m_readCount > size) {
            size = static_cast<unsigned>(std::min<std::size_t>(m_readCount, UINT32_MAX));
        }
        m_mode = mode;
        m_offset = offset;
        m_count = size;
        if (mode == qsig::eAccessStreaming && !m_controller->ReadAheadFits(size, offset)) {
            return qsig::eBadRequest;
        }
        return Base::Open(mode, size, offset);
    }

    qsig::SuccessCode_e Read(typename T::Base* data, unsigned& count, unsigned long long time,
                             qsig::SignalMeta& meta) override
    {
        m_time = time;
        m_count = count / T::c_length;
        if (m_mode != qsig::eAccessDefault || m_offset == 0) {
            return Base::Read(data, count, time, meta);
        }
        // The number of the first atom: no atom lies before 0 or beyond 64 bits.
        const uint64_t number = time + static_cast<uint64_t>(m_offset);
        if (m_offset < 0 ? number > time : number < time) {
            return qsig::eBadRequest;
        }
        return Base::Read(data, count, number, meta);
    }

    std::string Explain(qsig::SuccessCode_e code, qsig::RefusalKind* kind = nullptr) const override
    {
        return m_controller->Explain(m_mode, m_time, m_offset, m_count, code, kind);
    }

private:
    const std::shared_ptr<PostmortemPositionController> m_controller;
    const std::size_t m_readCount;
    // The last open and read, for Explain (called on the thread that made them).
    qsig::AccessMode_e m_mode = qsig::eAccessDefault;
    long long m_offset = 0;
    std::size_t m_count = 0;
    unsigned long long m_time = 0;
};

// An on-demand source over one of the capture buffers: every read copies
// under the capture mutex and never past the captured length.
template <typename T> class PostMortem::CaptureSource : public qsig::DataOnDemandBufferSource<T> {
public:
    using Base = qsig::DataOnDemandBufferSource<T>;
    using Buffer = typename Base::Buffer;

    CaptureSource(const std::string& name, const Buffer& array, const std::string& description, const PostMortem& owner)
        : Base(name, array, description), m_owner(owner)
    {
    }

    std::size_t GetSize() const override
    {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        return m_owner.m_length;
    }

    qsig::SuccessCode_e Read(Buffer& out, std::size_t position, qsig::PosControllerPtr controller) override
    {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        const std::size_t length = m_owner.m_length;
        if (position >= length) {
            return qsig::eRefused;
        }
        if (out.GetLength() > length - position) {
            out.Resize(static_cast<unsigned>(length - position));
        }
        return Base::Read(out, position, controller);
    }

    qsig::SignalClientBase* NewSignalClient(const std::string& name, unsigned length) override
    {
        auto self = std::static_pointer_cast<CaptureSource>(this->GetSharedSelf());
        return new CaptureClient<T>(typename qsig::DodClient<T>::SourcePtr(self), name, this->m_traits,
                                    m_owner.m_controller, length);
    }

private:
    const PostMortem& m_owner;
};
