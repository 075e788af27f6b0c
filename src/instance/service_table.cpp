// The services of an instance, in the order the worker hands them received
// frames and runs their due work. Adding a service: its own files, and its
// line here.
#include "stack/service.h"

namespace orukiv {

extern const Service kSdoService;          // sdo/sdo_service.cpp
extern const Service kBootService;         // services/boot_service.cpp
extern const Service kEventService;        // services/rx_events.cpp
extern const Service kSupervisionService;  // services/node_supervision.cpp
extern const Service kLssService;          // services/lss_service.cpp
extern const Service kFrameService;        // services/service_frames.cpp
extern const Service kCyclicService;       // services/cyclic.cpp

const Service* const kServiceTable[] = {
    &kSdoService, &kBootService,  &kEventService,  &kSupervisionService,
    &kLssService, &kFrameService, &kCyclicService,
};
const std::size_t kServiceCount = std::size(kServiceTable);

}  // namespace orukiv
