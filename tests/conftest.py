import os
import sys

# The structured box mesher shared with the example and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
