"""A station: a task list under a lock, put from any thread, taken and worked
on by the worker's own thread."""
import math
import threading
import time

from .exceptions import DeadWorkerException, FATimeoutException

_sleep = time.sleep
_now = time.time
_Lock = threading.Lock
_Thread = threading.Thread


class Job:
    def __init__(self, owner, task):
        if owner is not None and type(owner) is not str:
            raise TypeError("Argument 'owner' has incorrect type (expected str, got %s)" % type(owner).__name__)
        self.__owner = owner
        self.__task = task

    @property
    def owner(self):
        return self.__owner

    @property
    def task(self):
        return self.__task


class Worker:
    def __init__(self, group, name, lock_working=False, max_job_count=math.inf):
        if name is not None and type(name) is not str:
            raise TypeError("Argument 'name' has incorrect type (expected str, got %s)" % type(name).__name__)
        self.__group = group
        self.__name = name
        self.__lock = _Lock()
        self.__task_list = []
        self.__stop_flag = False
        self.__lock_working = lock_working
        self.__max_job_count = max_job_count
        self.__task = None
        self.__work_thread = None
        self.__put_task_timeout = -1.0
        self.__put_task_check_interval = 0.1
        self.__loop_interval = 0.1
        # Whether the worker's own thread holds the lock: a hold taken by a
        # concurrent put must never be released on the worker's behalf.
        self.__own_hold = False

    @property
    def name(self):
        return self.__name

    @property
    def loop_interval(self):
        return self.__loop_interval

    @loop_interval.setter
    def loop_interval(self, value):
        value = float(value)
        assert value > 0
        self.__loop_interval = value

    @property
    def put_task_timeout(self):
        return self.__put_task_timeout

    @put_task_timeout.setter
    def put_task_timeout(self, value):
        self.__put_task_timeout = float(value)

    @property
    def put_task_check_interval(self):
        return self.__put_task_check_interval

    @property
    def full(self):
        return len(self.__task_list) >= self.__max_job_count

    @property
    def dead(self):
        if self.__work_thread is None:
            return False
        return not self.__stop_flag and not self.__work_thread.is_alive()

    @property
    def working(self):
        if self.dead:
            return False
        return self.__task is not None

    @property
    def free(self):
        if self.dead:
            return False
        if self.__task_list:
            return False
        return not self.working

    def __release_own_hold(self):
        if self.__own_hold:
            self.__own_hold = False
            self.__lock.release()

    def put(self, task):
        timeout = self.put_task_timeout
        check_interval = self.put_task_check_interval
        begin = _now()
        while True:
            if self.dead:
                raise DeadWorkerException("Worker '%s' has dead. Can't put job to it." % self.name)
            if timeout >= 0:
                left = begin + timeout - _now()
                if left < 0 or not self.__lock.acquire(timeout=min(left, threading.TIMEOUT_MAX)):
                    raise FATimeoutException("Put job to worker '%s' timeout." % self.name)
            else:
                self.__lock.acquire()
            if not self.full:
                break
            self.__lock.release()
            _sleep(check_interval)
        self.__task_list.append(task)
        self.__lock.release()

    def work(self, task):
        self.__release_own_hold()

    def loop(self):
        while not self.__stop_flag:
            self.__lock.acquire()
            self.__own_hold = True
            if not self.__task_list:
                self.__release_own_hold()
                _sleep(self.loop_interval)
                continue
            self.__task = self.__task_list.pop(0)
            if not self.__lock_working:
                self.__release_own_hold()
            achievement = self.work(self.__task)
            self.__task = None
            self.__release_own_hold()
            if achievement is None or self.__group is None:
                continue
            if isinstance(achievement, Job):
                self.__group.put_task(achievement.owner, achievement.task)
            elif isinstance(achievement, list):
                for job in achievement:
                    self.__group.put_task(job.owner, job.task)
            else:
                raise ValueError("Worker.work function should return a Job object or a Job list")

    def before_start(self):
        pass

    def after_stop(self):
        pass

    def start(self):
        if self.__work_thread is not None:
            return
        self.__stop_flag = False
        self.before_start()
        thread = _Thread(target=self.loop)
        thread.start()
        # Kept once started: a thread not yet alive must not read as dead.
        self.__work_thread = thread

    def stop(self):
        self.__stop_flag = True
        if self.__work_thread is None:
            return
        self.__work_thread.join()
        self.__work_thread = None
        self.after_stop()
