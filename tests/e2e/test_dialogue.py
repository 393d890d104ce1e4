"""The dialogue table through a pipe and through a pseudo-terminal."""
import tempfile
import unittest

from dialogues import CASES, PAUSE
from harness import TAMBLO, Player, make_folder, run_case


class Dialogue(unittest.TestCase):
    def run_all(self, mode):
        for case in (case for case in CASES if mode in case.modes):
            with self.subTest(case.name), tempfile.TemporaryDirectory(prefix="tamblo-e2e-") as folder:
                make_folder(folder, case.tracks)
                argv = ["sh", "-c", 'exec "$0" ' + case.shell, TAMBLO] if case.shell else None
                player = Player(folder, mode, argv=argv, ahead=case.ahead)
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
