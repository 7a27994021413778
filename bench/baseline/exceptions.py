"""The exceptions the measured operations raise, with their operator messages."""


class XException(IOError):
    def __init__(self, x, value, timeout):
        super().__init__("等待输入信号 %s 超时！目标状态：%d，超时时间：%.01f秒。" % (x, int(value), timeout))


class AbortByOtherException(Exception):
    def __init__(self):
        super().__init__("因为其他地方出现异常而造成的动作中止")


class StopException(Exception):
    def __init__(self):
        super().__init__("因为接收到停止命令而终止操作")


class FAException(Exception):
    def __init__(self, desc):
        super().__init__(desc)


class DeadWorkerException(FAException):
    pass


class FATimeoutException(FAException):
    pass
