# Type stubs of the kvo_fa extension module. Parameter names, order, defaults
# and annotations are those of the module's own functions; where a method has
# no annotation at run time the stub gives the type its callers pass. Docstrings
# quoted from the module are kept byte for byte; the others say what the member
# does, for editors.
import abc
import math
import queue
import threading
import time
import typing
from typing import Any, ClassVar
from typing import Literal as _Literal
from typing import Callable as _Callable
from typing import Sequence as _Sequence
from typing import Union as _Union

import kvo_handy
import kvo_mew

# The module's private aliases of the objects it takes from other modules
# (_Union, _Sequence and _Callable are imported above: mypy takes typing's
# special forms as types only when imported).
_Lock = threading.Lock
_Thread = threading.Thread
_Event = threading.Event
_Queue = queue.Queue
_sleep = time.sleep
_now = time.time
_inf: float
_ABC = abc.ABC
_abstractmethod = abc.abstractmethod
_Fp = kvo_mew.VedUzavur
_Callback = kvo_handy.Callback

class ThreadCommunicationObject:
    """A one-shot answer slot handed from one thread to another.

    The asking thread builds it with the arguments that describe the question and
    later reads `result`, which blocks until another thread has written it.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @property
    def result(self) -> Any:
        """The answer: blocks until some thread has written it, without a time-out."""
    @result.setter
    def result(self, value: Any) -> None: ...

class TCOException(IOError):
    """A fault that carries a ThreadCommunicationObject for the answer; its message is
    the object's first argument."""

    tco: ThreadCommunicationObject
    def __init__(self, tco: ThreadCommunicationObject) -> None: ...

class MotorException(IOError):
    """A motor fault: 电机 <motor> 运行出错."""

    def __init__(self, motor: int) -> None: ...

class CylinderException(IOError):
    """A single-solenoid cylinder that did not complete its move in time."""

    def __init__(
        self, y: object, value: int, x_src: object, x_dst: object, timeout: float, wait_time: float
    ) -> None: ...

class DYCylinderException(IOError):
    """A double-solenoid cylinder that did not complete its move in time."""

    def __init__(
        self,
        y0: object,
        value0: int,
        y1: object,
        value1: int,
        x_src: object,
        x_dst: object,
        timeout: float,
        wait_time: float,
    ) -> None: ...

class VacuumException(IOError):
    """A vacuum output whose sensor did not reach its target state in time."""

    def __init__(self, y: object, value: int, x: object, x_target: int, timeout: float) -> None: ...

class XException(IOError):
    """An input that did not reach its target state in time."""

    def __init__(self, x: object, value: int, timeout: float) -> None: ...

class AbortByOtherException(Exception):
    """Ends a blocking action because the machine has a fault raised elsewhere."""

    def __init__(self) -> None: ...

class StopException(Exception):
    """Ends a blocking action because the machine was told to stop."""

    def __init__(self) -> None: ...

class FAException(Exception):
    "\n\t在使用 FA 框架时，如果需要抛出异常，而这个异常不能被简单地忽略掉，而是需要 FA 框架做出一些特殊的处理（例如，调用用户自定义的回调函数），\n\t而那么该异常的类型需要是 FAException 的子类。\n\t"

    def __init__(self, desc: str) -> None: ...

class DeadWorkerException(FAException):
    """A task was put to a worker whose thread died."""

    def __init__(self, desc: str) -> None: ...

class FATimeoutException(FAException):
    """A task found no room in a worker's list within `put_task_timeout`."""

    def __init__(self, desc: str) -> None: ...

class Job:
    """A read-only (owner, task) pair: `task` goes to the worker named `owner`."""

    def __init__(self, owner: str, task: Any) -> None:
        "\n\t\t:param owner:\n\t\t:param task:\n\t\t"
    @property
    def owner(self) -> str:
        """The name of the worker that is to receive the task."""
    @property
    def task(self) -> Any:
        """The task itself."""

class _TaskRouter(typing.Protocol):
    # What a worker needs of its group: WorkerGroup, or anything with put_task.
    def put_task(self, worker_name: str, task: Any, /) -> object: ...

class Worker:
    """A station thread: takes tasks from its first-in-first-out list, runs `work` on
    each and hands the Jobs it returns to its group by owner name."""

    def __init__(
        self,
        group: _TaskRouter | None,
        name: str,
        lock_working: bool = False,
        max_job_count: _Union[int, float] = ...,
    ) -> None: ...
    @property
    def loop_interval(self) -> float:
        """Seconds the worker thread sleeps when its list is empty (default 0.1)."""
    @loop_interval.setter
    def loop_interval(self, value: float) -> None: ...
    @property
    def put_task_timeout(self) -> float:
        """Seconds `put` may wait for room; negative (the default, -1.0) waits without limit."""
    @put_task_timeout.setter
    def put_task_timeout(self, value: float) -> None: ...
    @property
    def put_task_check_interval(self) -> float:
        """Seconds `put` sleeps between attempts while the list is full (default 0.1)."""
    @put_task_check_interval.setter
    def put_task_check_interval(self, value: float) -> None: ...
    @property
    def name(self) -> str:
        "工人的名字。\n\t\t所有人都应该有个名字，对吧？"
    def loop(self) -> None:
        "轮询是否有任务需要执行。loop_interval是轮询的时间间隔（通过start传入）。\n\t\t如果有工作，则取出工作，调用work函数执行工作。\n\t\t执行完工作后，如果有新工作任务产生，并且设置了下一个工人，就交给他。\n\t\t如果在执行工作的时候（work函数里面）发生异常，此工人将成为“死工人”。\n\t\t如果把新工作交给下一个工人时，发现下一个工人死了，此工人也将死去。"
    def work(self, task: Any) -> object:
        "执行工作任务。\n\t\t通常，子类应该重载此函数，以完成真正的工作任务。\n\t\t这里，作为一个示范函数，只是提前释放锁。"
    @property
    def full(self) -> bool:
        """Whether the task list has reached `max_job_count`."""
    def put(self, task: Any) -> None:
        "给工人（的工作队列）添加一项工作任务。"
    def before_start(self) -> None:
        "\n\t\t如果子类有需要在启动之前执行一些动作，可以override此函数。\n\t\t注意：如果实例本来就处于工作状态，调用start并不会执行此函数。\n\t\t"
    def start(self) -> None:
        "让工人开始工作。\n\t\t参数loop_interval是工人检查是否有工作要执行的时间间隔。"
    def after_stop(self) -> None:
        "\n\t\t如果子类有需要在停止之后执行一些额外动作，可以override此函数。\n\t\t注意：如果实例本来就处于停止状态，调用stop并不会执行此函数。\n\t\t"
    def stop(self) -> None:
        "让工人停止工作。"
    def reset(self, clear_job: bool = True) -> None:
        "\n\t\t当发生异常时，有可能没有释放锁。整个设备可能需要执行复位。\n\t\t这个工人（工位）也就需要复位，把未释放的锁释放掉。\n\t\t"
    @property
    def dead(self) -> bool:
        "\n\t\t执行工作时（work函数里面）发生了异常，将导致工人的loop线程退出，不能继续工作。\n\t\t我们说这个时候此工人是死的（祈祷不会发生这样的事情）。\n\t\t"
    @property
    def working(self) -> bool:
        "\n\t\t工人是否在执行工作。\n\t\t"
    @property
    def free(self) -> bool:
        "\n\t\t工人正常运转，只是在空转。\n\t\t"

class X:
    """Follows one bit across updates: the latest value, the one before it, and the
    edge between them."""

    def __init__(self, manager: object, index: int) -> None: ...
    def __bool__(self) -> bool:
        """The latest value."""
    def rising(self) -> bool:
        """Whether the latest update changed the value from False to True."""
    def falling(self) -> bool:
        """Whether the latest update changed the value from True to False."""
    def update(self, value: bool) -> None:
        """Take `value` (by its truth value) as the latest value; on a change call the
        rising or falling handler, then the toggle handler."""
    def set(self) -> None:
        """update(True)."""
    def rst(self) -> None:
        """update(False)."""
    def toggle(self) -> None:
        """update with the negation of the latest value."""

class XManager:
    """The image of a block of 16-bit PLC words with their previous state. Bit index n
    is bit n % 16 of word n // 16, bit 0 the least significant."""

    def __init__(
        self,
        x_words: _Union[_Sequence[int], None] = None,
        x_words_old: _Union[_Sequence[int], None] = None,
        count: int = 0,
    ) -> None: ...
    @property
    def word_count(self) -> int:
        """Number of words in the image."""
    @staticmethod
    def _get(words: _Sequence[int], index: int) -> bool: ...
    def __getitem__(self, item: int) -> bool:
        """Bit `item` of the current words."""
    def x(self, index: int) -> bool:
        """Bit `index` of the current words."""
    def wx(self, index: int) -> int:
        """The current word at word position `index` (not a bit index)."""
    def rising(self, index: int) -> bool:
        """Whether bit `index` is 1 now and was 0 before the latest update."""
    def falling(self, index: int) -> bool:
        """Whether bit `index` is 0 now and was 1 before the latest update."""
    def event_occured(self) -> bool:
        """Whether any word differs between the current and the previous words."""
    def copy(self) -> XManager:
        """A new XManager with copies of the current and the previous words."""
    def update(self, x_words: list[int]) -> bool:
        """Make the current words the previous ones and store `x_words` (a list of the
        image's length) as the current words; True when any word changed."""
    def copy_old(self) -> list[int]:
        """A new list with the previous words."""

class YManager(XManager):
    """A machine's output image: shows the owner's two word lists without copying them."""

    def __init__(self, words: list[int], words_old: _Union[list[int], None]) -> None: ...

class WorkerGroup:
    """The stations of a machine by name: starts, stops and resets them and routes
    tasks to them."""

    def __init__(self) -> None: ...
    def add(self, worker: Worker) -> None:
        """Register `worker` under its name (names must be unique)."""
    def get(self, name: str) -> Worker:
        """The worker registered under `name`."""
    def start(self, name: str | None = None) -> None:
        """Start the named worker, or every worker when `name` is None."""
    def start_all(self) -> None:
        """Start every worker, in registration order."""
    def stop(self, name: str | None = None) -> None:
        """Stop the named worker, or every worker when `name` is None."""
    def stop_all(self) -> None:
        """Stop every worker, last registered first."""
    def reset(self, name: str | None = None, clear_job: bool = True) -> None:
        """Reset the named worker, or every worker when `name` is None."""
    def reset_all(self, clear_job: bool = True) -> None:
        """Reset every worker, in registration order."""
    def put_task(self, worker_name: str, task: Any) -> None:
        """Put `task` into the list of the worker named `worker_name`."""

class _MachineExceptionHandler:
    """The subscribers of a machine's faults (`MachineBase.exception_event`)."""

    def __init__(self) -> None: ...
    def subscribe(self, callback: _Callable[..., object]) -> None:
        """Add `callback` (once). It is called with the fault; a true result takes it."""
    def unsubscribe(self, callback: _Callable[..., object]) -> None:
        """Remove `callback` if subscribed."""
    def unsubscribe_all(self) -> None:
        """Remove every subscriber."""
    def __call__(self, *args: Any, **kwargs: Any) -> bool:
        """Call the subscribers in order until one returns a true value; True if one did."""

class MachineBase(_ABC):
    """A machine wired to a PLC: keeps the input (X) and output (Y) images fresh in a
    background thread, runs the blocking actions and the fault path. Back-ends define
    do_get_x_uint16, do_get_y_uint16 and do_set_y_uint16."""

    EEH_Type_Normal: ClassVar[int]
    EEH_Type_WX: ClassVar[int]
    x_manager: XManager
    y_manager: YManager
    _y_lock: threading.Lock
    _y_words: list[int]
    _y_words_old: list[int]
    _exit_flag: bool
    _stop_flag: bool
    _pause_flag: bool
    _exception_flag: bool
    _edge_event_handler: list[_Callable[[XManager], object]]
    _eeh_type: dict[_Callable[[XManager], object], int]
    _eeh_lock: threading.Lock
    _ee_queue: queue.Queue[XManager]
    def __init__(self, x_word_count: int, y_word_count: int, axis_count: int = 0) -> None: ...
    @property
    def exception_event(self) -> _MachineExceptionHandler:
        """The fault subscribers: exception_event.subscribe(callback)."""
    def can_not_go_on(self) -> bool:
        """The first true of the stop, pause and exception flags, else False."""
    def reset(self) -> None:
        """Close, clear the pause and exception flags and the stored fault, and start again."""
    def close(self) -> None:
        """Stop the machine and join its updater and edge-event threads."""
    def start(self) -> None:
        "如果发生了异常，必须要先执行一下reset，把异常标志清除，才能再次启动。"
    def stop(self) -> None:
        """Ask every blocking action to end with StopException; the threads keep running."""
    def is_stopped(self) -> bool:
        """Whether the stop flag is set."""
    def pause(self) -> None:
        """Hold the actions until start or reset."""
    def is_paused(self) -> bool:
        """Whether the pause flag is set."""
    def name_to_index(self, name: str) -> int:
        """The bit or word number an element name stands for."""
    def index_to_name(self, prefix: str, index: int) -> str:
        """The element name of bit or word `index` (`prefix` gives the area)."""
    def x(self, index: _Union[str, int]) -> bool:
        """Input bit `index` (element name or bit index)."""
    def wx(self, index: _Union[str, int]) -> int:
        """Input word `index` (element name or word position)."""
    def rising(self, index: int) -> bool:
        """Whether input bit `index` rose in the latest refresh."""
    def falling(self, index: _Union[str, int]) -> bool:
        """Whether input bit `index` fell in the latest refresh."""
    def y(self, index: _Union[str, int]) -> bool:
        """Output bit `index` as the machine wants it."""
    def wy(self, index: _Union[str, int]) -> int:
        """Output word `index` as the machine wants it."""
    def set_y(self, index: _Union[str, int], value: bool) -> None:
        """Set output bit `index`; the next refresh cycle writes it to the PLC."""
    def _handle_exception(self, exception: Exception) -> bool: ...
    def _check_stop_and_exception_flags(self) -> None: ...
    check_stop_and_exception_flags = _check_stop_and_exception_flags
    def wait_if_paused(self, check_interval: float = 0.1) -> None:
        """Block while the machine is paused; raises StopException or
        AbortByOtherException if it is stopped or faulted meanwhile."""
    def raise_cylinder_exception(
        self,
        y: _Union[str, int],
        value: bool,
        x_src: _Union[str, int, None],
        x_dst: _Union[str, int, None],
        timeout: float,
        wait_time: float,
    ) -> None:
        """Report a CylinderException through the fault path."""
    def raise_dy_cylinder_exception(
        self,
        y0: _Union[str, int],
        value0: bool,
        y1: _Union[str, int],
        value1: bool,
        x_src: _Union[str, int, None],
        x_dst: _Union[str, int, None],
        timeout: float,
        wait_time: float,
    ) -> None:
        """Report a DYCylinderException through the fault path."""
    def raise_vacuum_exception(
        self,
        y: _Union[str, int],
        value: bool,
        x: _Union[str, int, None],
        x_target: bool,
        timeout: float,
    ) -> None:
        """Report a VacuumException through the fault path."""
    def raise_motor_exception(self, motor: int) -> None:
        """Report a MotorException through the fault path."""
    def raise_x_exception(self, x: _Union[str, int], value: bool, timeout: float) -> None:
        """Report an XException through the fault path."""
    def raise_tco_exception(self, desc: str) -> None:
        """Report a TCOException over ThreadCommunicationObject(desc) through the fault path."""
    def raise_exception(self, exception: Exception) -> None:
        """The fault path: offer `exception` to the subscribers; if none takes it, record
        it, set the exception flag and raise it."""
    def wait_for_signal(
        self,
        x: _Union[str, int],
        value: bool,
        timeout: float | None = None,
        check_interval: float = 0.1,
    ) -> None:
        """Wait until input `x` is `value`; after `timeout` seconds (None or <= 0: no limit)
        report an XException. Ends on a stop or fault."""
    def wait_for_multi_signals(
        self,
        x_list: _Sequence[_Union[str, int]],
        value_list: _Union[_Sequence[bool], bool],
        timeout: float = ...,
        check_interval: float = 0.1,
    ) -> None:
        "\n\t\tx_list: 需要等待的输入端口的名称列表\n\t\tvalue_list: 各个输入端口对应的目标状态，正常情况下也是一个列表。为了使用的方便，也可以是一个bool值对象，这个时候，表示所有输入端口目标值都是一样的。\n\t\t"
    def trigger_cylinder(
        self,
        y: _Union[str, int],
        value: bool,
        x_src: _Union[str, int, None] = None,
        x_dst: _Union[str, int, None] = None,
        timeout: float | None = 7,
        wait_time: float = 0,
        check_interval: float = 0.1,
    ) -> None:
        """Drive a single-solenoid cylinder: set output `y` to `value`, then wait until the
        start sensor `x_src` goes off and the target sensor `x_dst` comes on, both within
        `timeout` seconds of setting the output (None or <= 0: no limit), polling every
        `check_interval` seconds. A missing sensor is replaced by a blind wait: without
        `x_src` the first phase lasts until half of `wait_time` has passed; without `x_dst`
        the move ends once `wait_time` has passed since the output was set (half of it
        when both are missing). A time-out reports a CylinderException through the fault path; a
        stop or a fault elsewhere ends the move with StopException or
        AbortByOtherException, and a pause holds it."""
    def trigger_dy_cylinder(
        self,
        y0: _Union[str, int],
        value0: bool,
        y1: _Union[str, int],
        value1: bool | None = None,
        x_src: _Union[str, int, None] = None,
        x_dst: _Union[str, int, None] = None,
        timeout: float = 7.0,
        wait_time: float = 0.0,
        check_interval: float = 0.1,
        y0_stop_value: bool = False,
        y1_stop_value: bool = False,
    ) -> None:
        """Drive a double-solenoid cylinder: set `y0` to `value0` and `y1` to `value1` (None:
        not value0) and supervise the move like trigger_cylinder. While the machine cannot
        go on, both coils take their stop values and the time limit starts again after.
        A time-out reports a DYCylinderException."""
    def trigger_vacuum(
        self,
        y: _Union[str, int],
        value: bool,
        x: _Union[str, int, None] = None,
        x_target: bool | None = None,
        timeout: float = ...,
        wait_time: float = 0.0,
        check_interval: float = 0.1,
    ) -> None:
        """Switch vacuum output `y` to `value`; with a sensor `x`, wait until it shows
        `x_target` (a time-out, default none, reports a VacuumException); without one,
        wait `wait_time` seconds."""
    def trigger_multi_vacuums(
        self,
        y_list: _Sequence[_Union[str, int]],
        value_list: _Sequence[bool],
        x_list: _Union[_Sequence[_Union[str, int]], None] = None,
        x_target_list: _Union[_Sequence[bool], bool, None] = None,
        timeout: float = ...,
        wait_time: float = 0.0,
        check_interval: float = 0.1,
    ) -> None:
        """Switch several vacuum outputs, then wait for their sensors as
        wait_for_multi_signals does (or `wait_time` seconds without sensors)."""
    def _eeh_thread_func(self) -> None: ...
    def register_edge_event_handler(
        self, handler: _Callable[[XManager], object], handler_type: int = 0
    ) -> None:
        """Call `handler` with a snapshot of the input image after every input change:
        directly on the edge-event thread (EEH_Type_Normal) or via wx.CallAfter (EEH_Type_WX)."""
    def unregister_edge_event_handler(self, handler: _Callable[[XManager], object]) -> None:
        """Remove `handler` if registered."""
    @abc.abstractmethod
    def do_get_x_uint16(self) -> list[int]:
        """Back-end: read the input words from the PLC."""
    @abc.abstractmethod
    def do_get_y_uint16(self) -> _Sequence[int]:
        """Back-end: read the output words from the PLC."""
    @abc.abstractmethod
    def do_set_y_uint16(self, values: list[int]) -> None:
        """Back-end: write every output word of `values` to the PLC."""
    def _refresh_x(self) -> None: ...
    def _refresh_y(self) -> None: ...
    def _update(self) -> None: ...
    def sync_xy_refresher(self) -> None:
        """Wait until a complete refresh cycle has run after the call began: outputs set
        before the call are written and inputs are read after it."""
    @property
    def x_word_count(self) -> int:
        """Number of input words."""
    @property
    def y_word_count(self) -> int:
        """Number of output words."""

class FPMachine(MachineBase):
    """A machine on an FP-series PLC: inputs from D0.., outputs at D<y_shift>..; bits and
    registers addressed by FP element names (X1F, Y10, R100, D100, WX0)."""

    _plc: _Fp
    def __init__(
        self,
        x_word_count: int,
        y_word_count: int,
        y_shift: int,
        port: str,
        baudrate: int = 9600,
        station: int = 1,
        *,
        parity: _Literal["N", "E", "O"] = ...,
        bytesize: int = ...,
        stopbits: _Literal[1, 2] = ...,
        timeout: float = ...,
        retries: int = ...,
        element_map: dict[str, tuple[str, int] | None] = ...,
        **kwargs: Any,
    ) -> None:
        """A machine whose PLC is station `station` on the link kvo_mew.VedUzavur(port,
        baudrate, **kwargs): the serial keywords (parity, bytesize, stopbits, timeout,
        retries, element_map) arrive in **kwargs and go to the link."""
    @property
    def native_machine_handle(self) -> _Fp:
        """The PLC link (kvo_mew.VedUzavur)."""
    def do_get_x_uint16(self) -> list[int]: ...
    def do_get_y_uint16(self) -> list[int]: ...
    def do_set_y_uint16(self, values: list[int]) -> None: ...
    def get_coil(self, name: str) -> bool:
        """Read relay `name` of the PLC."""
    def get_uint32(self, name: str) -> int:
        """Read the unsigned double word at `name` (low word first)."""
    def get_multi_uint16(self, name: str, count: int) -> list[int]:
        """Read `count` words from `name` on."""
    def get_multi_uint32(self, name: str, count: int) -> list[int]:
        """Read `count` unsigned double words from `name` on."""
    def get_multi_int32(self, name: str, count: int) -> list[int]:
        """Read `count` signed double words from `name` on."""
    def set_uint16(self, name: str, value: int) -> None:
        """Write word `value` to `name`."""
    def set_multi_uint16(self, name: str, values: list[int]) -> None:
        """Write `values` to consecutive words from `name` on."""
    def set_uint32(self, name: str, value: int) -> None:
        """Write an unsigned double word at `name` (low word first)."""
    def set_multi_uint32(self, name: str, values: list[int] | tuple[int, ...]) -> None:
        """Write unsigned double words from `name` on."""
    def set_multi_int32(self, name: str, values: list[int] | tuple[int, ...]) -> None:
        """Write signed double words from `name` on."""
    def set_coil(self, name: str, value: bool) -> None:
        """Set relay `name` of the PLC."""
    def name_to_index(self, name: str) -> int:
        """The bit number of a relay name (X1F -> 31) or the word number of a word name."""
    def index_to_name(self, prefix: str, index: int) -> str:
        """The FP element name of `index` in the area of `prefix` (X, 31 -> X1F)."""
    def start(self) -> None:
        """Start the PLC link, then the machine."""
    def set_y_sync(self, name: str, value: bool, check_interval: float = 0.02) -> None:
        """Set output `name` and wait until the PLC shows it."""

class FEFMachine(MachineBase):
    """A machine on a chain of I/O modules: module k is station k with one input word
    (WX0) and one output word (WY0)."""

    plc: _Fp
    xy_module_count: int
    def __init__(self, port: str, xy_module_count: int = 1, baudrate: int = 115200) -> None: ...
    def do_get_x_uint16(self) -> list[int]: ...
    def do_get_y_uint16(self) -> list[int]: ...
    def do_set_y_uint16(self, values: list[int]) -> None: ...
    def close(self) -> None:
        """Close the machine, then its PLC link."""
