// soapcpp2 input for the global binding: WS-Discovery 1.1 with WS-Addressing 1.0.
// It also supplies the SOAP Header and Fault serializers that the namespaced
// service binding (-q CorvaneSoap) leaves to the global binding.
#import "wsdd.h"
