"""The machine: its record and run flags, bit access by name and index, the
refresh loop with its two threads, and the fault raise of a waiting action."""
import abc
import queue
import threading
import time

from .exceptions import AbortByOtherException, StopException, XException
from .xmanager import XManager, YManager

# Looked up at each use, so a test or benchmark may replace them.
_sleep = time.sleep
_Lock = threading.Lock
_Thread = threading.Thread
_Queue = queue.Queue


class _MachineExceptionHandler:
    def __init__(self):
        self._handler_list = []
        self._handler_list_guard = _Lock()

    def subscribe(self, callback):
        with self._handler_list_guard:
            if callback not in self._handler_list:
                self._handler_list.append(callback)

    def unsubscribe(self, callback):
        with self._handler_list_guard:
            if callback in self._handler_list:
                self._handler_list.remove(callback)

    def __call__(self, *args, **kwargs):
        with self._handler_list_guard:
            for handler in self._handler_list:
                if handler(*args, **kwargs):
                    return True
            return False


class MachineBase(abc.ABC):
    EEH_Type_Normal = 0
    EEH_Type_WX = 1

    def __init__(self, x_word_count, y_word_count, axis_count=0):
        self.x_manager = XManager([0] * x_word_count, [0] * x_word_count)
        self._y_lock = _Lock()
        self._y_words = [0] * y_word_count
        self._y_words_old = [0] * y_word_count
        self.y_manager = YManager(self._y_words, self._y_words_old)
        self._exit_flag = False
        self._stop_flag = True
        self._pause_flag = False
        self._exception_flag = False
        self.__exception = None
        self.__exception_event = _MachineExceptionHandler()
        self._edge_event_handler = []
        self._eeh_type = {}
        self._eeh_lock = _Lock()
        self._ee_queue = _Queue()
        self.__eeh_thread = None
        self.__updater = None
        self.__xy_refresh_counter = 0
        self.__xy_refresh_counter_lock = _Lock()

    # --- run flags and the fault path ---

    @property
    def exception_event(self):
        return self.__exception_event

    def stop(self):
        self._stop_flag = True

    def is_stopped(self):
        return self._stop_flag

    def _check_stop_and_exception_flags(self):
        if self._exception_flag:
            raise AbortByOtherException()
        if self.is_stopped():
            raise StopException()

    check_stop_and_exception_flags = _check_stop_and_exception_flags

    def _handle_exception(self, exception):
        return self.exception_event(exception)

    def raise_exception(self, exception):
        if self._handle_exception(exception):
            return None
        self.__exception = exception
        self._exception_flag = True
        raise self.__exception

    def raise_x_exception(self, x, value, timeout):
        if isinstance(x, int):
            x = self.index_to_name("X", x)
        exception = XException(x, value, timeout)
        if self._handle_exception(exception):
            return None
        self.__exception = exception
        self._exception_flag = True
        raise self.__exception

    # --- bit access ---

    def x(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.x_manager.x(index)

    def wx(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.x_manager.wx(index)

    def rising(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.x_manager.rising(index)

    def falling(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.x_manager.falling(index)

    def y(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.y_manager[index]

    def wy(self, index):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        return self.y_manager.wx(index)

    def set_y(self, index, value):
        if isinstance(index, (str, bytes)):
            index = self.name_to_index(index)
        word_idx = index // 16
        word_shift = index % 16
        with self._y_lock:
            old = self._y_words[word_idx]
            if value:
                new = old | (1 << word_shift)
            else:
                new = old & ~(1 << word_shift)
            self._y_words[word_idx] = new

    def name_to_index(self, name):
        return int(name)

    def index_to_name(self, prefix, index):
        if prefix is not None and type(prefix) is not str:
            raise TypeError("Argument 'prefix' has incorrect type (expected str, got %s)" % type(prefix).__name__)
        return str(index)

    @property
    def x_word_count(self):
        return self.x_manager.word_count

    @property
    def y_word_count(self):
        return len(self._y_words)

    # --- the refresh loop ---

    @abc.abstractmethod
    def do_get_x_uint16(self):
        pass

    @abc.abstractmethod
    def do_get_y_uint16(self):
        pass

    @abc.abstractmethod
    def do_set_y_uint16(self, values):
        pass

    def _refresh_x(self):
        xs = self.do_get_x_uint16()
        if self.x_manager.update(xs):
            self._ee_queue.put(self.x_manager.copy())

    def _refresh_y(self):
        length = len(self._y_words)
        with self._y_lock:
            y_words = self._y_words
            y_words_old = self._y_words_old
            for i in range(length):
                if y_words[i] != y_words_old[i]:
                    self.do_set_y_uint16(y_words)
                    for j in range(len(y_words)):
                        y_words_old[j] = y_words[j]
                    return
            dts = self.do_get_y_uint16()
            for i in range(min(len(y_words), len(dts))):
                y_words[i] = dts[i]
                y_words_old[i] = dts[i]

    def _update(self):
        while not self._exit_flag:
            try:
                with self.__xy_refresh_counter_lock:
                    self._refresh_x()
                    self._refresh_y()
                    self.__xy_refresh_counter += 1
                _sleep(0.01)
            except Exception as error:
                print(error)
                _sleep(0.2)

    def _eeh_thread_func(self):
        while not self._exit_flag:
            if self._ee_queue.empty():
                _sleep(0.03)
                continue
            x_manager = self._ee_queue.get()
            with self._eeh_lock:
                for handler in self._edge_event_handler:
                    try:
                        handler_type = self._eeh_type.get(handler, MachineBase.EEH_Type_Normal)
                        if handler_type & MachineBase.EEH_Type_WX:
                            import wx
                            wx.CallAfter(handler, x_manager)
                        elif handler_type == MachineBase.EEH_Type_Normal:
                            handler(x_manager)
                    except Exception as error:
                        print(error)

    # --- lifecycle ---

    def start(self):
        assert not self._exception_flag
        self._exit_flag = False
        self._stop_flag = False
        self._pause_flag = False
        if self.__eeh_thread is None:
            self.__eeh_thread = _Thread(target=self._eeh_thread_func)
            self.__eeh_thread.start()
        if self.__updater is None:
            self.__updater = _Thread(target=self._update)
            self.__updater.start()

    def close(self):
        self._exit_flag = True
        self._stop_flag = True
        if self.__updater is not None:
            self.__updater.join()
            self.__updater = None
        if self.__eeh_thread is not None:
            self.__eeh_thread.join()
            self.__eeh_thread = None
        with self._eeh_lock:
            while not self._ee_queue.empty():
                self._ee_queue.get()
