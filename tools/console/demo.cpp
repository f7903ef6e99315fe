// The demonstration's station and gates. The station's address is 2: the driver itself is 1.
#include "tools/console/demo.h"

namespace kesta::console {

const char kDemoStationConfig[] = R"(# kesta-host --simulate: one PLC station at address 2.
station 2
object 2 pump_on      single BOOL  - 1  1
object 2 speed        single INT   - 1  -1500
object 2 level        single 3     - 1  1234
object 2 counter      single DINT  - 1  -100000
object 2 setpoint     single UINT  - 1  50000
object 2 status_word  single 6     - 1  0xA55A
object 2 total        single UDINT - 1  4000000000
object 2 temperature  single REAL  - 1  21.5
object 2 table        array  UINT  - 10 10 20 30 40 50 60 70 80 90 100
# EWT structures: one message record waiting, then new records every few seconds.
sample 2 alarms
sample 2 meas
record 2 alarms message 26.12.2001 14:30:45 5 7 1
generate 2 alarms message 4 5 7
generate 2 meas measurement 6 5 8
)";

const char kDemoGates[] = R"(# kesta-host --simulate: the gates of the demonstration station.
# ADDRESS        HOST TYPE    [single | block LENGTH]
002pump_on       DIGITAL
002speed         SIGNED16
002level         SIGNED16
002counter       SIGNED32
002setpoint      UNSIGNED16
002status_word   UNSIGNED16
002total         UNSIGNED32
002temperature   FLOAT
002table         UNSIGNED16   block 10
002table[3]      UNSIGNED16
002_Malarms      UNSIGNED32   # sample gate: message records of the structure alarms
002_Vmeas        UNSIGNED32   # sample gate: measurement records of the structure meas
002_M005_007     DIGITAL      # time-stamp gate: message records numbered 5, 7
002_V005_008     UNSIGNED16   # time-stamp gate: measurement records numbered 5, 8
)";

} // namespace kesta::console
