#include "signal_receiver_support.h"

namespace qsig_test {

namespace {

CORBA::ORB_ptr Orb()
{
    static CORBA::ORB_var orb = [] {
        int argc = 0;
        char* argv[] = {nullptr};
        return CORBA::ORB_init(argc, argv);
    }();
    return orb.in();
}

PortableServer::POA_ptr RootPoa()
{
    static PortableServer::POA_var poa = [] {
        CORBA::Object_var obj = Orb()->resolve_initial_references("RootPOA");
        PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = root->the_POAManager();
        manager->activate();
        return root._retn();
    }();
    return poa.in();
}

} // namespace

ReceiverFixture::ReceiverFixture() : m_servant(new RecordingReceiver)
{
    m_id = RootPoa()->activate_object(m_servant);
    CORBA::Object_var obj = RootPoa()->id_to_reference(m_id);
    m_ref = q_NET::SignalReceiver::_narrow(obj);
}

ReceiverFixture::~ReceiverFixture()
{
    RootPoa()->deactivate_object(m_id);
    m_servant->_remove_ref();
}

} // namespace qsig_test
