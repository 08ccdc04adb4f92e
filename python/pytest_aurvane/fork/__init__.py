"""Workers forked from one process that has collected the suite (``--aurvane-fork``, Linux).

Imports nothing: the client (client.py) runs once per worker before any
test can start.
"""
