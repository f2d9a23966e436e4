// The program's global namespace table, used by every plain gSOAP context
// (the WS-Discovery listener and sender). The "wex" row lets Probe Types such as
// "wex:CorvaneBackend_3" be read and written with the service's prefix.
#include <stdsoap2.h>

#include "soap/WexNamespace.h"

SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope", "http://schemas.xmlsoap.org/soap/envelope/", nullptr},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding", "http://schemas.xmlsoap.org/soap/encoding/", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance", nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
    {"wsa5", "http://www.w3.org/2005/08/addressing", "http://schemas.xmlsoap.org/ws/2004/08/addressing", nullptr},
    {"wsdd", "http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01", nullptr, nullptr},
    {"wex", CORVANE_WEX_NAMESPACE, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
