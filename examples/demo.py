"""A first look at kvo_fa: word images, edges and operator fault messages."""
import kvo_fa


def main() -> None:
    image = kvo_fa.XManager(count=2)
    print("input image of", image.word_count, "words")
    for words in ([0x0001, 0], [0x0003, 0x8000], [0x0002, 0x8000]):
        changed = image.update(words)
        rising = [i for i in range(32) if image.rising(i)]
        falling = [i for i in range(32) if image.falling(i)]
        print(f"update {words}: changed={changed} rising={rising} falling={falling}")

    for fault in (
        kvo_fa.XException("X1", True, 3),
        kvo_fa.CylinderException("Y10", True, "X3", "X4", 7, 0),
        kvo_fa.VacuumException("Y3", True, "X5", True, 1),
    ):
        print(type(fault).__name__, "->", fault)


if __name__ == "__main__":
    main()
