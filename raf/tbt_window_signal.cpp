#include "raf/tbt_window_signal.h"

#include "platform/qstd/trace.h"
#include "raf/tbt.h"

namespace {
const bool c_adc_names_set = (AdcAtomTraits::names = {"ChannelA", "ChannelB", "ChannelC", "ChannelD"}, true);
} // namespace

TbtWindowSignal::TbtWindowSignal(const std::string& name, TurnByTurnDSP* tbt, const std::string& description)
    : qsig::DataOnDemandLocalSourceBase<AdcAtomTraits>(name, AdcAtomTraits(), description), m_tbt(tbt)
{
    QSTD_TRACE_FNC();
    (void)c_adc_names_set;
}

TbtWindowSignal::~TbtWindowSignal()
{
    QSTD_TRACE_FNC();
}

qsig::SuccessCode_e TbtWindowSignal::Read(qsig::Array<AdcAtomTraits>& buffer, std::size_t position,
                                          qsig::PosControllerPtr /*controller*/)
{
    std::size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(m_tbt_mutex);
        if (m_tbt != nullptr && buffer.GetLength() > 0) {
            static_assert(sizeof(AdcAtomTraits::Atom) == sizeof(uint64_t), "an ADC atom is one debug RAM word");
            n = m_tbt->ReadDebugRamData(reinterpret_cast<uint64_t*>(buffer.GetData()), buffer.GetLength(), position);
        }
    }
    buffer.Resize(static_cast<unsigned>(n));
    return qsig::eSuccess;
}

qsig::DodClient<AdcAtomTraits> TbtWindowSignal::CreateClient(const std::string& name)
{
    auto self = std::static_pointer_cast<TbtWindowSignal>(GetSharedSelf());
    return qsig::DodClient<AdcAtomTraits>(
        std::shared_ptr<qsig::DodControllerInterface<AdcAtomTraits>>(self, self.get()), name, m_traits);
}

qsig::SignalClientBase* TbtWindowSignal::NewSignalClient(const std::string& name, unsigned /*length*/)
{
    QSTD_TRACE_FNC();
    return qsig::NewHeapClient<AdcAtomTraits>(*this, name);
}

void TbtWindowSignal::ShutDown()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_tbt_mutex);
    m_tbt = nullptr;
}
