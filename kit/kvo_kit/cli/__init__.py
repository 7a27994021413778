"""The commands of python3 -m kvo_kit, one module each."""
import sys


def refuse(command: str, problem: object) -> int:
    """Say in one line what is wrong with the command's options or files; the exit status for that, 2."""
    text = " ".join(str(problem).split())
    print(f"python3 -m kvo_kit {command}: error: {text}", file=sys.stderr)
    return 2
