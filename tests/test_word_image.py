"""Word images: bits, words and edges over a block of 16-bit words."""
import pytest

import kvo_fa


def lists(image):
    return image._XManager__x_words, image._XManager__x_words_old


def test_count_builds_zeros():
    image = kvo_fa.XManager(count=2)
    assert lists(image) == ([0, 0], [0, 0])
    assert image.word_count == 2
    assert image.x(31) is False
    with pytest.raises(IndexError):
        image.x(32)


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((), {}, AssertionError),
        ((), {"x_words_old": [1]}, ValueError),
        (([1, 2], [1]), {}, AssertionError),
    ],
)
def test_construction_failures(args, kwargs, error):
    with pytest.raises(error) as excinfo:
        kvo_fa.XManager(*args, **kwargs)
    if error is ValueError:
        assert str(excinfo.value) == (
            "It's not reasonable to create an XManager with argument x_words None and x_words_old not None."
        )
    else:
        assert excinfo.value.args == ()


def test_single_word_image():
    image = kvo_fa.XManager([5])
    assert lists(image) == ([5], [0])
    assert (image.x(0), image.x(1), image.x(2)) == (True, False, True)
    assert image[2] is True
    assert image.rising(0) is True and image.falling(0) is False
    assert image.event_occured() is True
    assert image.wx(0) == 5


def test_update_edges_describe_the_latest_update_only():
    image = kvo_fa.XManager([0])
    assert image.update([1]) is True and image.rising(0) is True
    assert image.update([1]) is False
    assert image.rising(0) is False and image.event_occured() is False
    assert image.update([0]) is True and image.falling(0) is True


def test_negative_and_high_bits():
    image = kvo_fa.XManager([0x8000, 0])
    assert image.x(15) is True
    assert image.x(-1) is False  # bit 15 of the last word
    assert image.x(-17) is True  # bit 15 of word -2
    assert image.wx(-1) == 0


@pytest.mark.parametrize("index", range(-32, 32))
def test_bit_addressing_matches_floor_division(index):
    words = [0b1010_0000_1100_0101, 0b0111_1111_0000_0001]
    expected = bool(words[index // 16] & (1 << index % 16))
    assert kvo_fa.XManager._get(words, index) is expected
    assert kvo_fa.XManager(words).x(index) is expected


def test_words_are_stored_unmasked():
    image = kvo_fa.XManager([0x1_0001, -1])
    assert image.wx(0) == 0x1_0001 and image.x(16) is True and image.x(20) is True


def test_copies_are_independent():
    source = [1, 2]
    image = kvo_fa.XManager(source)
    source[0] = 99
    assert image.wx(0) == 1
    snapshot = image.copy()
    image.update([3, 4])
    assert (snapshot.wx(0), snapshot.rising(0), snapshot.event_occured()) == (1, True, True)
    old = image.copy_old()
    old.append(7)
    assert image.word_count == 2 and image.copy_old() == [1, 2]
    assert image.copy_old() is not image.copy_old()


def test_ymanager_shares_its_owners_lists():
    words, old = [0], [0]
    y = kvo_fa.YManager(words, old)
    words[0] = 4
    assert y.x(2) is True and y.rising(2) is True
    snapshot = y.copy()
    assert type(snapshot) is kvo_fa.XManager
    words[0] = 0
    assert snapshot.x(2) is True and y.x(2) is False
    assert lists(y)[0] is words and lists(y)[1] is old
    assert vars(y).keys() == {"_XManager__x_words", "_XManager__x_words_old"}


def test_ymanager_construction_rules():
    with pytest.raises(AssertionError):
        kvo_fa.YManager(None, None)
    with pytest.raises(ValueError):
        kvo_fa.YManager(None, [0])
    words = [1, 2]
    y = kvo_fa.YManager(words, None)
    assert lists(y) == ([1, 2], [0, 0]) and lists(y)[0] is words


def test_update_type_rules_change_nothing():
    image = kvo_fa.XManager([1])
    with pytest.raises(TypeError):
        image.update((2,))
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        image.update(None)
    assert lists(image) == ([1], [0])


@pytest.mark.parametrize("words", [[7], [7, 8, 9]])
def test_update_with_another_length_changes_nothing(words):
    image = kvo_fa.XManager([1, 2])
    with pytest.raises(IndexError, match=r"x_words has \d words, the image has 2"):
        image.update(words)
    assert lists(image) == ([1, 2], [0, 0])


def test_x_goes_through_indexing_and_rising_does_not():
    class Inverted(kvo_fa.XManager):
        def __getitem__(self, item):
            return not kvo_fa.XManager.__getitem__(self, item)

        @staticmethod
        def _get(words, index):
            return True

    image = Inverted([1])
    assert image.x(0) is False
    assert image.rising(1) is False and image.falling(0) is False
