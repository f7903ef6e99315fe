// The demonstration kesta-host runs with --simulate: a simulated PLC station with a few variables of
// every data type, an array, and a message and a measurement EWT structure whose records keep
// arriving, and the gate list that shows all of it.
#pragma once

namespace kesta::console {

extern const char kDemoStationConfig[]; // net2000-sim configuration text (docs/simulator.md)
extern const char kDemoGates[];         // a gate file for it

} // namespace kesta::console
