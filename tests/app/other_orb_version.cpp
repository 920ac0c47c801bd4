// Preloaded ahead of the ORB library (LD_PRELOAD), stands for an ORB
// library of another version than the one the server was built with.
#include <omniORB4/CORBA.h>

const char* omniORB::versionString()
{
    return "4.3.0";
}
