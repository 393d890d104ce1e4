"""The dialogue table through a pipe and through a pseudo-terminal."""
import tempfile
import unittest

from dialogues import CASES, PAUSE
from harness import Player, make_folder, run_case


class Dialogue(unittest.TestCase):
    def run_all(self, mode):
        for case in CASES:
            with self.subTest(case.name), tempfile.TemporaryDirectory(prefix="tamblo-e2e-") as folder:
                make_folder(folder, case.tracks)
                player = Player(folder, mode, ahead=case.ahead)
                try:  # the locale is C.UTF-8: the pause text shows in UTF-8
                    run_case(case, player, lambda text: text.replace(PAUSE, PAUSE.decode("cp932").encode()))
                finally:
                    player.close()

    def test_pipe(self):
        self.run_all("pipe")

    def test_terminal(self):
        self.run_all("pty")


if __name__ == "__main__":
    unittest.main()
