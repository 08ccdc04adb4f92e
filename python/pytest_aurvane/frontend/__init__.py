"""The front end: the pytest process the user starts with ``--aurvane=N``.

It checks the options, writes the run specification, runs the controller
and replays what the workers report as pytest's own reports and terminal.
"""
