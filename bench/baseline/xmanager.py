"""The word image: a list of 16-bit words with its previous state, and the
output image over a machine's own two lists."""


class XManager:
    def __init__(self, x_words=None, x_words_old=None, count=0):
        if x_words is None and x_words_old is None:
            assert count > 0
            x_words = [0] * count
            x_words_old = [0] * count
        elif x_words is None:
            raise ValueError("It's not reasonable to create an XManager with argument x_words None "
                             "and x_words_old not None.")
        elif x_words_old is None:
            x_words_old = [0] * len(x_words)
        else:
            assert len(x_words) == len(x_words_old)
        self.__x_words = list(x_words)
        self.__x_words_old = list(x_words_old)

    @property
    def word_count(self):
        return len(self.__x_words)

    @staticmethod
    def _get(words, index):
        return (words[index // 16] & (1 << (index % 16))) != 0

    def __getitem__(self, item):
        return XManager._get(self.__x_words, item)

    def x(self, index):
        return self[index]

    def wx(self, index):
        return self.__x_words[index]

    def rising(self, index):
        if not XManager._get(self.__x_words, index):
            return False
        return not XManager._get(self.__x_words_old, index)

    def falling(self, index):
        if not XManager._get(self.__x_words_old, index):
            return False
        return not XManager._get(self.__x_words, index)

    def event_occured(self):
        for current, old in zip(self.__x_words, self.__x_words_old):
            if current != old:
                return True
        return False

    def copy(self):
        return XManager(self.__x_words, self.__x_words_old)

    def update(self, x_words):
        if x_words is not None and type(x_words) is not list:
            raise TypeError("Argument 'x_words' has incorrect type (expected list, got %s)"
                            % type(x_words).__name__)
        current = self.__x_words
        old = self.__x_words_old
        if len(x_words) != len(current):
            # Refused before anything changes: a half-updated image would show false edges.
            raise IndexError("x_words has %d words, the image has %d" % (len(x_words), len(current)))
        evt_occurred = False
        for i in range(len(current)):
            old[i] = current[i]
            if current[i] != x_words[i]:
                current[i] = x_words[i]
                evt_occurred = True
        return evt_occurred

    def copy_old(self):
        return list(self.__x_words_old)


class YManager(XManager):
    """Shows the owner's lists themselves: no copy, no update."""

    def __init__(self, words, words_old):
        if words is None and words_old is None:
            raise AssertionError
        if words is None:
            super().__init__(words, words_old)  # raises the ValueError
        if words_old is None:
            words_old = [0] * len(words)
        assert len(words) == len(words_old)
        self._XManager__x_words = words
        self._XManager__x_words_old = words_old
