# A Modbus ASCII server for the serial client's tests, built on pymodbus:
# serves unit 1 on the serial device given as the first argument, with
# holding register i (0-based) holding 100 + i and input register i holding
# 500 + i, and prints "ready" once it is about to serve.
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusAsciiFramer

REGISTERS = 200

store = ModbusSlaveContext(
    hr=ModbusSequentialDataBlock(0, [100 + i for i in range(REGISTERS)]),
    ir=ModbusSequentialDataBlock(0, [500 + i for i in range(REGISTERS)]),
    zero_mode=True,
)
context = ModbusServerContext(slaves={1: store}, single=False)
print("ready", flush=True)
StartSerialServer(context=context, framer=ModbusAsciiFramer, port=sys.argv[1], baudrate=19200, timeout=0.05)
