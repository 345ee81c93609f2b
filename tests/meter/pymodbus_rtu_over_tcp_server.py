# A Modbus server that speaks RTU frames over TCP, built on pymodbus: serves
# unit 1 on 127.0.0.1 at the port given as the first argument, with holding
# register i (0-based) holding 100 + i, and prints "ready" once it is about
# to serve.
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTcpServer
from pymodbus.transaction import ModbusRtuFramer

REGISTERS = 200

store = ModbusSlaveContext(
    hr=ModbusSequentialDataBlock(0, [100 + i for i in range(REGISTERS)]),
    zero_mode=True,
)
context = ModbusServerContext(slaves={1: store}, single=False)
print("ready", flush=True)
StartTcpServer(context=context, framer=ModbusRtuFramer, address=("127.0.0.1", int(sys.argv[1])))
