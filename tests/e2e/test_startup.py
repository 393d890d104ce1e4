"""Start-up end to end: the list, its page pauses, the empty folder."""

import os
import subprocess
import tempfile
import unittest

from harness import PAUSE_CP932, PAUSE_UTF8, PlayerTest, listing, prompt


class StartUp(PlayerTest):

    def test_empty_folder_says_so_and_ends(self):
        for mode in ("pipe", "pty"):
            with self.subTest(mode=mode):
                folder = self.folder()
                folder.write("notes.txt", b"hello")
                folder.write("song.mp3x")
                folder.write(".hidden.mp3")
                os.mkdir(folder.file_path("sub"))
                player = self.start(folder, mode=mode)
                self.assertEqual(player.wait(5), 0)
                self.assertEqual(player.output, b"There are no mp3s.\n")
                self.assertQuietStderr(player)

    def test_unlistable_folder_counts_as_empty(self):
        folder = self.folder()
        folder.mp3("a.mp3", 1)
        os.chmod(folder.path, 0o311)  # can be entered, not read
        player = self.start(folder, unprivileged=True)
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, b"There are no mp3s.\n")
        self.assertQuietStderr(player)

    def test_list_then_first_prompt_without_line_feed(self):
        folder = self.folder()
        names = ["b.mp3", "A.MP3", "c.d.mp3", "x.mp3"]
        for name in names[:3]:
            folder.mp3(name, 1)
        os.mkdir(folder.file_path("x.mp3"))  # listed like a file
        player = self.start(folder)
        ordered = ["A.MP3", "b.mp3", "c.d.mp3", "x.mp3"]
        # The prompt has no line feed after it, and still arrives at once.
        player.expect_output(listing(ordered) + prompt("A.MP3"), timeout=3)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, listing(ordered) + prompt("A.MP3"))
        self.assertQuietStderr(player)

    def test_page_pause_waits_for_one_character(self):
        folder = self.folder()
        names = ["%02d.mp3" % i for i in range(47)]
        for name in names:
            folder.write(name)  # 0-byte files: listed, refused when played
        player = self.start(folder)
        player.expect_output(listing(names[:15]) + PAUSE_UTF8, timeout=3)
        self.assertTrue(player.quiet_for(0.5), "the pause did not wait")
        # Each pause takes exactly one character, whatever it is.
        player.send("a")
        player.expect_output(listing(names[:30]) + PAUSE_UTF8, timeout=3)
        self.assertTrue(player.quiet_for(0.3))
        player.send("\n")
        player.expect_output(listing(names[:45]) + PAUSE_UTF8, timeout=3)
        player.send("b")
        player.expect_output(listing(names) + prompt(names[0]), timeout=3)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, listing(names) + prompt(names[0]))
        self.assertQuietStderr(player)

    def test_pause_text_follows_the_terminal_character_set(self):
        folder = self.folder()
        names = ["%02d.mp3" % i for i in range(16)]
        for name in names:
            folder.write(name)
        locales = tempfile.mkdtemp(prefix="tamblo-e2e-locales-")
        self._cleanup.append(lambda: subprocess.run(["rm", "-rf", locales]))
        for charmap, name in (("SHIFT_JIS", "ja_JP.SJIS"), ("EUC-JP", "ja_JP.EUC-JP")):
            subprocess.run(["localedef", "-c", "-f", charmap, "-i", "ja_JP", os.path.join(locales, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cases = [
            ({"LC_ALL": "C"}, PAUSE_UTF8),  # no character set named: UTF-8
            ({"LC_ALL": "C.UTF-8"}, PAUSE_UTF8),
            ({"LC_ALL": "ja_JP.SJIS", "LOCPATH": locales}, PAUSE_CP932),
            ({"LC_ALL": "ja_JP.EUC-JP", "LOCPATH": locales}, PAUSE_CP932.decode("cp932").encode("euc_jp")),
        ]
        for env, pause in cases:
            with self.subTest(env=env):
                if "LOCPATH" in env and not os.path.isdir(os.path.join(locales, env["LC_ALL"])):
                    self.skipTest("localedef could not build %s" % env["LC_ALL"])
                player = self.start(folder, env=env)
                expected = listing(names).replace(PAUSE_UTF8, pause) + prompt(names[0])
                player.send("\n")
                player.expect_output(expected, timeout=3)
                player.send("exit\n")
                self.assertEqual(player.wait(5), 0)
                self.assertEqual(player.output, expected)
                self.assertQuietStderr(player)

    def test_terminal_left_as_it_was(self):
        folder = self.folder()
        folder.mp3("a.mp3", 1)
        player = self.start(folder, mode="pty")
        before = player.terminal_attrs()
        player.expect_output(b"0  | a.mp3\n" + prompt("a.mp3"), timeout=3)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.terminal_attrs(), before)
        # No title or other escape sequences: the window title is left alone.
        self.assertNotIn(b"\x1b", player.output)
        self.assertEqual(player.output, b"0  | a.mp3\n" + prompt("a.mp3") + b"exit\n")
        self.assertQuietStderr(player)

    def test_fifty_of_sixty(self):
        folder = self.folder()
        names = ["t%02d.mp3" % i for i in range(60)]
        for name in reversed(names):
            folder.write(name)
        player = self.start(folder)
        player.send("abc")
        player.expect_output(listing(names[:50]) + prompt(names[0]), timeout=3)
        player.send("\nexit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, listing(names[:50]) + prompt(names[0]))


if __name__ == "__main__":
    unittest.main()
