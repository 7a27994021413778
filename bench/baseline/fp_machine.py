"""The FP machine: FP element names, and the image carried to and from the PLC
through a `kvo_mew` link (the same link calls kvo_fa makes)."""
import kvo_mew

from .machine import MachineBase

_Fp = kvo_mew.VedUzavur


class FPMachine(MachineBase):
    def __init__(self, x_word_count, y_word_count, y_shift, port, baudrate=9600, station=1, **kwargs):
        super().__init__(x_word_count, y_word_count)
        kwargs["baudrate"] = baudrate
        self._plc = _Fp(port, **kwargs)
        self.__y_shift = y_shift
        self.__station = station

    def start(self):
        self._plc.start()
        super().start()

    def get_multi_uint16(self, name, count):
        return self._plc.get_multi_uint16(self.__station, name, count)

    def set_multi_uint16(self, name, values):
        if name is not None and type(name) is not str:
            raise TypeError("Argument 'name' has incorrect type (expected str, got %s)" % type(name).__name__)
        if values is not None and type(values) is not list:
            raise TypeError("Argument 'values' has incorrect type (expected list, got %s)" % type(values).__name__)
        self._plc.set_multi_uint16(self.__station, name, values)

    def do_get_x_uint16(self):
        return self.get_multi_uint16("D0", self.x_manager.word_count)

    def do_get_y_uint16(self):
        return self.get_multi_uint16("D%d" % self.__y_shift, self.y_word_count)

    def do_set_y_uint16(self, values):
        if values is not None and type(values) is not list:
            raise TypeError("Argument 'values' has incorrect type (expected list, got %s)" % type(values).__name__)
        return self.set_multi_uint16("D%d" % self.__y_shift, values)

    def name_to_index(self, name):
        if name[0] in "XYR":
            digits = name[1:]
            assert len(digits) <= 4
            dec_part = digits[:-1] or "0"
            hex_part = digits[-1]
            return int(dec_part) * 16 + int(hex_part, 16)
        if name[0] == "D":
            if name[1] == "T":
                return int(name[2:])
            return int(name[1:])
        if name[0] == "W":
            return int(name[2:])
        raise ValueError("Invalid FP element name: %s" % name)

    def index_to_name(self, prefix, index):
        if prefix is not None and type(prefix) is not str:
            raise TypeError("Argument 'prefix' has incorrect type (expected str, got %s)" % type(prefix).__name__)
        if isinstance(index, str):
            return index
        if prefix[0] in "XYR":
            return "%s%d%X" % (prefix, index // 16, index % 16)
        if prefix[0] in "DW":
            return "%s%d" % (prefix, index)
        raise ValueError("Invalid FP element prefix: %s" % prefix)
