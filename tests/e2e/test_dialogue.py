"""The dialogue table through a pipe and through a pseudo-terminal."""
import os
import subprocess
import tempfile
import unittest

from dialogues import CASES, PAUSE
from harness import TAMBLO, Player, make_folder, run_case


class Dialogue(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.locales = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        cls.addClassCleanup(cls.locales.cleanup)
        for charmap, name in (("SHIFT_JIS", "ja_JP.SJIS"), ("EUC-JP", "ja_JP.EUC-JP")):
            subprocess.run(["localedef", "-c", "-f", charmap, "-i", "ja_JP", os.path.join(cls.locales.name, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run_all(self, mode):
        for case in (case for case in CASES if mode in case.modes):
            with self.subTest(case.name), tempfile.TemporaryDirectory(prefix="tamblo-e2e-") as folder:
                make_folder(folder, case.tracks)
                argv = ["sh", "-c", 'exec "$0" ' + case.shell, TAMBLO] if case.shell else None
                env = {"LC_ALL": case.locale, "LOCPATH": self.locales.name} if case.locale else None  # else C.UTF-8
                player = Player(folder, mode, env=env, argv=argv, ahead=case.ahead)
                try:
                    run_case(case, player, lambda text: text.replace(PAUSE, PAUSE.decode("cp932").encode(case.charset)))
                finally:
                    player.close()

    def test_pipe(self):
        self.run_all("pipe")

    def test_terminal(self):
        self.run_all("pty")


if __name__ == "__main__":
    unittest.main()
