"""The worker process: ``python -u -m pytest_aurvane.worker SPEC``.

Imports nothing: a worker that only attaches to a fork server loads this
package before ``__main__`` decides, and every import here would delay
each worker's start.
"""
